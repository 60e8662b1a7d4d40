// What every kqi command shares: its failures and how they are reported,
// files opened with the reason for a failure, printable names, standard
// output.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "tools/kqi/Platform.h"

namespace kq::tools {

// The command is a thin layer over the writer library.
using namespace kq::pack;

// A plain failure of the tool itself (not of the component): exit 1.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A component failure with the reason the system gave added to its
// message: reported as "kqi: CLASS: MESSAGE (REASON)".
class ReasonedError : public std::runtime_error {
public:
    ReasonedError(std::string className, const std::string& message)
        : std::runtime_error(message), class_(std::move(className)) {}
    const char* ClassName() const noexcept { return class_.c_str(); }

private:
    std::string class_;
};

// Prints "kqi: CLASS: MESSAGE" for the component's failures (with the
// reason, where known), "kqi: MESSAGE" for others; returns exit code 1.
int ReportFailure(const std::exception& failure);

// Why `path` cannot be opened for reading (or created, when `forWriting`):
// the system's words, for example "No such file or directory".
std::string FileProblem(const std::string& path, int errorNumber, bool forWriting = false);

// A file stream whose open failure carries the reason.
std::unique_ptr<TFileStream> OpenFile(const std::string& path, FileMode mode);

// Entry names are shown with control characters as \xNN.
std::string Printable(std::string_view text);

// Standard output as a write-only stream; a failed write raises a ToolError
// with the reason.
class TStdoutStream final : public TStream {
public:
    TStdoutStream();
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t, SeekOrigin) override { return written_; }

private:
    int64_t written_ = 0;
};

// Flushes and closes standard output; false (with a message) on failure.
bool CloseStdout();

}  // namespace kq::tools
