// Shared pieces of the kqi commands: the option parser, failure reports,
// files opened with the reason for a failure, outputs that appear only when
// complete, standard output, progress.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "tools/kqi/Platform.h"

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

// A component failure with the reason the system gave added to its
// message: reported as "kqi: CLASS: MESSAGE (REASON)".
class ReasonedError : public std::runtime_error {
public:
    ReasonedError(std::string className, const std::string& message) : std::runtime_error(message), class_(std::move(className)) {}
    const char* ClassName() const noexcept { return class_.c_str(); }

private:
    std::string class_;
};

// ---------------------------------------------------------------- options

struct OptionSpec {
    std::string_view name;     // long name without "--"
    char shortName = 0;        // 0: none
    bool takesValue = false;
};

// One subcommand: its options and its usage text (the text of --help; a
// usage error prints it too).
struct CommandSpec {
    std::string_view name;
    std::string_view summary;
    std::string_view usage;
    std::vector<OptionSpec> options;
};

// The options as given, in order, and the positional arguments. Accepts
// "--name value", "--name=value", "-x value", "-xvalue", and "--" to end
// the options; "-" alone is positional.
class ParsedArgs {
public:
    bool Has(std::string_view name) const;
    std::optional<std::string> Last(std::string_view name) const;
    std::vector<std::string> All(std::string_view name) const;
    const std::vector<std::string>& Positional() const { return positional_; }

private:
    friend ParsedArgs ParseArgs(const CommandSpec& command, const std::vector<std::string>& args);
    std::vector<std::pair<std::string, std::string>> options_;
    std::vector<std::string> positional_;
};

// Raises UsageError. "--help" and "-h" are every command's and are
// reported as Has("help").
ParsedArgs ParseArgs(const CommandSpec& command, const std::vector<std::string>& args);

// Signed 32-bit decimal or 0x hexadecimal (the hex form may give the bit
// pattern of a negative key, for example 0xFFFFFFFF for -1).
std::optional<int32_t> ParseKey(std::string_view text);
int32_t KeyOption(const ParsedArgs& args);                   // --key, 0 without it
PackMethod MethodOption(const ParsedArgs& args);             // --method, lh5 without it
// --best and -j N (1 to 64; default the machine's cores) for the LZH5 encoder.
EncodeOptions EncodeOptionsFrom(const ParsedArgs& args);

// Prints "kqi: CLASS: MESSAGE" for the component's failures (with the
// reason, where known), "kqi: MESSAGE" for others; returns exit code 1.
int ReportFailure(const std::exception& failure);

// ---------------------------------------------------------------- files

// Why `path` cannot be opened for reading (or created, when `forWriting`):
// the system's words, for example "No such file or directory".
std::string FileProblem(const std::string& path, int errorNumber, bool forWriting = false);

// A file stream whose open failure carries the reason.
std::unique_ptr<TFileStream> OpenFile(const std::string& path, FileMode mode);

// Entry names are shown with control characters as \xNN.
std::string Printable(std::string_view text);

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

bool StderrIsTerminal();

// ---------------------------------------------------------------- progress

// Bytes, rate, ETA and the current file on one line of a terminal, once the
// work has taken about a second; nothing when disabled.
class ProgressLine {
public:
    ProgressLine(bool enabled, int64_t total);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    void Update(int64_t done, std::string_view current);

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    int64_t total_;
    Clock::time_point start_;
    Clock::time_point shown_;
    bool visible_ = false;
};

// Same name for the component: ASCII letters compared without case.
bool SameEntryName(std::string_view a, std::string_view b);
std::string FoldEntryName(std::string_view name);

}  // namespace kq::tools
