// Shared pieces of the kqi commands: argument parsing, archive sources,
// outputs that appear only when complete.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"

namespace kq::tools {

// The command is a thin layer over the writer library.
using namespace kq::pack;

// A usage error: the command prints its usage text and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A plain failure of the tool itself (not of the component): exit 1.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Signed 32-bit decimal or 0x hexadecimal (the hex form may give the bit
// pattern of a negative key, for example 0xFFFFFFFF for -1).
std::optional<int32_t> ParseKey(std::string_view text);

// Walks argv: options with values, flags and positional arguments.
class ArgReader {
public:
    ArgReader(int argc, char** argv, int first);
    bool Done() const { return index_ >= args_.size(); }
    // The next argument; the caller decides whether it is an option.
    std::string Next() { return args_[index_++]; }
    // The value of the option just read; a usage error if there is none.
    std::string Value(std::string_view option);

private:
    std::vector<std::string> args_;
    size_t index_;
};

int32_t KeyOption(ArgReader& args, std::string_view option);

// The value of --method: none, rle, lzh1 or lh5.
PackMethod MethodOption(ArgReader& args, std::string_view option);

// Text from an archive (names, method ids, messages quoting them) fit for
// the terminal: control bytes and NUL appear as \xNN, the rest as it is.
std::string Printable(std::string_view text);

// The value of -j: a thread count from 1 to 64.
unsigned ThreadsOption(ArgReader& args, std::string_view option);

// The thread count without -j: the machine's cores.
unsigned DefaultThreads();

// Prints "kqi: CLASS: MESSAGE" for the component's failures, "kqi: MESSAGE"
// for others, the message whole and printable, and returns exit code 1.
int ReportFailure(const std::exception& failure);

// A file written under a temporary name beside its final path and renamed
// into place by Commit; dropped without a trace otherwise.
class AtomicOutputFile {
public:
    explicit AtomicOutputFile(std::string path);
    ~AtomicOutputFile();
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;

    TStream& Stream() { return *stream_; }
    void Commit();

private:
    std::string path_;
    std::string tempPath_;
    std::unique_ptr<TFileStream> stream_;
    bool committed_ = false;
};

// Standard output as a write-only stream.
class TStdoutStream final : public TStream {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t, SeekOrigin) override { return written_; }

private:
    int64_t written_ = 0;
};

std::vector<uint8_t> ReadWholeFile(const std::string& path);

bool StderrIsTerminal();

}  // namespace kq::tools
