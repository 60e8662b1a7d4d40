#include "tools/kqi/Cli.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "InstCompress/Exceptions.h"
#include "tools/kqi/Platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define KQ_ISATTY _isatty
#define KQ_FILENO _fileno
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define KQ_ISATTY isatty
#define KQ_FILENO fileno
#endif

namespace kq::tools {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- options

bool ParsedArgs::Has(std::string_view name) const {
    return std::any_of(options_.begin(), options_.end(), [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArgs::Last(std::string_view name) const {
    for (auto it = options_.rbegin(); it != options_.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return std::nullopt;
}

std::vector<std::string> ParsedArgs::All(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& o : options_) {
        if (o.first == name) values.push_back(o.second);
    }
    return values;
}

ParsedArgs ParseArgs(const CommandSpec& command, const std::vector<std::string>& args) {
    static const OptionSpec kHelp{"help", 'h', false};
    auto byLong = [&](std::string_view name) -> const OptionSpec* {
        if (name == kHelp.name) return &kHelp;
        for (const OptionSpec& o : command.options) {
            if (o.name == name) return &o;
        }
        return nullptr;
    };
    auto byShort = [&](char c) -> const OptionSpec* {
        if (c == kHelp.shortName) return &kHelp;
        for (const OptionSpec& o : command.options) {
            if (o.shortName != 0 && o.shortName == c) return &o;
        }
        return nullptr;
    };

    ParsedArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::optional<std::string> inlineValue;
        std::string shown;
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (equals != std::string::npos) inlineValue = arg.substr(equals + 1);
            spec = byLong(name);
            shown = "--" + name;
        } else {
            spec = byShort(arg[1]);
            if (arg.size() > 2) inlineValue = arg.substr(2);
            shown = arg.substr(0, 2);
        }
        if (!spec) throw UsageError("unknown option " + shown);
        if (!spec->takesValue) {
            if (inlineValue) throw UsageError("option " + shown + " takes no value");
            parsed.options_.emplace_back(spec->name, std::string());
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) throw UsageError("option " + shown + " needs a value");
            inlineValue = args[++i];
        }
        parsed.options_.emplace_back(spec->name, *inlineValue);
    }
    return parsed;
}

std::optional<int32_t> ParseKey(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint32_t value = 0;
        const auto [end, ec] = std::from_chars(first + 2, last, value, 16);
        if (ec != std::errc() || end != last) return std::nullopt;
        return static_cast<int32_t>(value);
    }
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value, 10);
    if (ec != std::errc() || end != last) return std::nullopt;
    return value;
}

int32_t KeyOption(const ParsedArgs& args) {
    const auto text = args.Last("key");
    if (!text) return 0;
    const auto key = ParseKey(*text);
    if (!key) throw UsageError("bad key '" + *text + "': give a signed 32-bit decimal or 0x hexadecimal value");
    return *key;
}

PackMethod MethodOption(const ParsedArgs& args) {
    const auto name = args.Last("method");
    if (!name) return kDefaultPackMethod;
    const auto method = ParsePackMethod(*name);
    if (!method) throw UsageError("unknown method '" + *name + "': give " + PackMethodNames());
    return *method;
}

EncodeOptions EncodeOptionsFrom(const ParsedArgs& args) {
    EncodeOptions options;
    options.best = args.Has("best");
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (const auto text = args.Last("threads")) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value, 10);
        if (ec != std::errc() || end != text->data() + text->size() || value < 1 || value > 64) {
            throw UsageError("-j takes a thread count from 1 to 64");
        }
        options.threads = value;
    }
    return options;
}

int ReportFailure(const std::exception& failure) {
    // Messages may quote archive bytes: printed whole, control bytes as \xNN.
    if (const auto* e = dynamic_cast<const Exception*>(&failure)) {
        std::fprintf(stderr, "kqi: %s: %s\n", e->ClassName(), Printable(e->Message()).c_str());
    } else if (const auto* r = dynamic_cast<const ReasonedError*>(&failure)) {
        std::fprintf(stderr, "kqi: %s: %s\n", r->ClassName(), Printable(r->what()).c_str());
    } else {
        std::fprintf(stderr, "kqi: %s\n", Printable(failure.what()).c_str());
    }
    return 1;
}

// ---------------------------------------------------------------- files

std::string FileProblem(const std::string& path, int errorNumber, bool forWriting) {
#ifndef _WIN32
    struct stat st {};
    if (!forWriting) {
        if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
        if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
        if (::access(path.c_str(), R_OK) != 0) return std::strerror(errno);
    } else if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return std::strerror(EISDIR);
    }
#else
    const std::wstring wide = WideFromUtf8(path);
    if (!forWriting) {
        // Opened once more, to get the system's reason at first hand.
        const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const int error = LastSystemError();
            const DWORD attributes = GetFileAttributesW(wide.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                return std::strerror(EISDIR);
            }
            return SystemErrorText(error);
        }
        CloseHandle(file);
    } else {
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return std::strerror(EISDIR);
        }
    }
#endif
    return SystemErrorText(errorNumber);
}

std::unique_ptr<TFileStream> OpenFile(const std::string& path, FileMode mode) {
    try {
        return std::make_unique<TFileStream>(path, mode);
    } catch (const Exception& e) {
        const int error = LastSystemError();
        throw ReasonedError(e.ClassName(), e.Message() + " (" + FileProblem(path, error, mode == FileMode::Create) + ")");
    }
}

std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

// Temporary outputs to remove when a signal ends the process. The handler
// only reads the slots and calls unlink, which is safe in a handler.
constexpr int kTempSlots = 64;
std::atomic<char*> gTempPaths[kTempSlots];

extern "C" void RemoveTempsAndDie(int signal) {
    for (auto& slot : gTempPaths) {
#ifndef _WIN32
        if (char* path = slot.load()) ::unlink(path);
#else
        if (char* path = slot.load()) RemoveFile(path);
#endif
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int RegisterTemp(const std::string& path) {
    static const bool installed = [] {
        std::signal(SIGINT, RemoveTempsAndDie);
        std::signal(SIGTERM, RemoveTempsAndDie);
#ifdef SIGHUP
        std::signal(SIGHUP, RemoveTempsAndDie);
#endif
        return true;
    }();
    (void)installed;
    char* copy = static_cast<char*>(std::malloc(path.size() + 1));
    if (!copy) return -1;
    std::memcpy(copy, path.c_str(), path.size() + 1);
    for (int i = 0; i < kTempSlots; ++i) {
        char* expected = nullptr;
        if (gTempPaths[i].compare_exchange_strong(expected, copy)) return i;
    }
    std::free(copy);
    return -1;
}

void UnregisterTemp(int slot) {
    if (slot >= 0) std::free(gTempPaths[slot].exchange(nullptr));
}

}  // namespace

AtomicOutputFile::AtomicOutputFile(std::string path) : path_(std::move(path)) {
    std::random_device random;
    int error = 0;
    for (int attempt = 0; attempt < 100 && !stream_; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".kqi%08x", random());
        const std::string candidate = path_ + suffix;
        // Never one that exists, so two runs never share a temporary file.
        std::unique_ptr<TFileStream> created = CreateNewFile(candidate, error);
        if (!created) {
            if (!IsExistsError(error)) break;
            continue;
        }
        tempPath_ = candidate;
        slot_ = RegisterTemp(tempPath_);
        stream_ = std::move(created);
    }
    if (!stream_) {
        throw ReasonedError("EFileCreateError", CannotCreateFileMessage(path_) + " (" + FileProblem(path_, error, true) + ")");
    }
}

AtomicOutputFile::~AtomicOutputFile() {
    stream_.reset();
    if (!committed_ && !tempPath_.empty()) RemoveFile(tempPath_);
    UnregisterTemp(slot_);
}

void AtomicOutputFile::Commit() {
    stream_.reset();
    std::error_code error;
    fs::rename(PathFromUtf8(tempPath_), PathFromUtf8(path_), error);
    if (error) {
        throw ReasonedError("EFileCreateError", CannotCreateFileMessage(path_) + " (" + error.message() + ")");
    }
    committed_ = true;
}

TStdoutStream::TStdoutStream() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // no CR added before LF
#endif
}

int32_t TStdoutStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const size_t put = std::fwrite(buffer, 1, static_cast<size_t>(count), stdout);
    if (put != static_cast<size_t>(count)) {
        throw ToolError(std::string("cannot write to standard output (") + std::strerror(errno) + ")");
    }
    written_ += static_cast<int64_t>(put);
    return static_cast<int32_t>(put);
}

bool CloseStdout() {
    errno = 0;
    const bool failed = std::ferror(stdout) != 0;
    const bool flushFailed = std::fflush(stdout) != 0;
    const int error = errno;
    const bool closeFailed = std::fclose(stdout) != 0;
    if (failed || flushFailed || closeFailed) {
        std::fprintf(stderr, "kqi: cannot write to standard output (%s)\n",
                     std::strerror(error ? error : errno ? errno : EIO));
        return false;
    }
    return true;
}

bool StderrIsTerminal() { return KQ_ISATTY(KQ_FILENO(stderr)) != 0; }

// ---------------------------------------------------------------- progress

ProgressLine::ProgressLine(bool enabled, int64_t total)
    : enabled_(enabled && total > 0), total_(total), start_(Clock::now()), shown_(start_) {}

ProgressLine::~ProgressLine() {
    if (visible_) std::fputs("\r\033[K", stderr);
}

namespace {

std::string Bytes(double n) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (n >= 1024 && u < 3) {
        n /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
    return text;
}

}  // namespace

void ProgressLine::Update(int64_t done, std::string_view current) {
    if (!enabled_) return;
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed < 1.0 || (visible_ && now - shown_ < std::chrono::milliseconds(200))) return;
    shown_ = now;
    visible_ = true;
    const double rate = static_cast<double>(done) / elapsed;
    const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    const auto eta = static_cast<long>(left + 0.5);
    char line[160];
    std::snprintf(line, sizeof line, "%3d%% %s of %s, %s/s, ETA %ld:%02ld  ",
                  static_cast<int>(std::min<int64_t>(100, done * 100 / total_)), Bytes(static_cast<double>(done)).c_str(),
                  Bytes(static_cast<double>(total_)).c_str(), Bytes(rate).c_str(), eta / 60, eta % 60);
    std::string text = line;
    std::string name = Printable(current);
    const size_t room = text.size() < 78 ? 78 - text.size() : 0;
    if (name.size() > room) name = "..." + name.substr(name.size() - room + std::min<size_t>(room, 3));
    std::fprintf(stderr, "\r%s%s\033[K", text.c_str(), name.c_str());
    std::fflush(stderr);
}

bool SameEntryName(std::string_view a, std::string_view b) { return FoldEntryName(a) == FoldEntryName(b); }

std::string FoldEntryName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

}  // namespace kq::tools
