// Outputs that appear only when complete.
#pragma once

#include <memory>
#include <string>

#include "InstCompress/Stream.h"

namespace kq::tools {

// A file written under a temporary name beside its final path and renamed
// into place by Commit; dropped without a trace otherwise, also when the
// process is ended by SIGINT or SIGTERM.
class AtomicOutputFile {
public:
    explicit AtomicOutputFile(std::string path);
    ~AtomicOutputFile();
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;

    TStream& Stream() { return *stream_; }
    const std::string& TempPath() const { return tempPath_; }
    void Commit();

private:
    std::string path_;
    std::string tempPath_;
    std::unique_ptr<TFileStream> stream_;
    int slot_ = -1;
    bool committed_ = false;
};

}  // namespace kq::tools
