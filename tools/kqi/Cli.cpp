#include "tools/kqi/Cli.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "InstCompress/Exceptions.h"

#ifdef _WIN32
#include <io.h>
#define KQ_ISATTY _isatty
#define KQ_FILENO _fileno
#else
#include <unistd.h>
#define KQ_ISATTY isatty
#define KQ_FILENO fileno
#endif

namespace kq::tools {

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

ArgReader::ArgReader(int argc, char** argv, int first) : args_(argv + first, argv + argc), index_(0) {}

std::string ArgReader::Value(std::string_view option) {
    if (Done()) throw UsageError("option " + std::string(option) + " needs a value");
    return Next();
}

int32_t KeyOption(ArgReader& args, std::string_view option) {
    const std::string text = args.Value(option);
    const auto key = ParseKey(text);
    if (!key) throw UsageError("bad key '" + text + "': give a signed 32-bit decimal or 0x hexadecimal value");
    return *key;
}

PackMethod MethodOption(ArgReader& args, std::string_view option) {
    const std::string name = args.Value(option);
    const auto method = ParsePackMethod(name);
    if (!method) throw UsageError("unknown method " + name);
    return *method;
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

unsigned ThreadsOption(ArgReader& args, std::string_view option) {
    const std::string text = args.Value(option);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 64) {
        throw UsageError(std::string(option) + " takes a thread count from 1 to 64");
    }
    return value;
}

unsigned DefaultThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

int ReportFailure(const std::exception& failure) {
    if (const auto* e = dynamic_cast<const Exception*>(&failure)) {
        std::fprintf(stderr, "kqi: %s: %s\n", e->ClassName(), Printable(e->Message()).c_str());
    } else {
        std::fprintf(stderr, "kqi: %s\n", Printable(failure.what()).c_str());
    }
    return 1;
}

AtomicOutputFile::AtomicOutputFile(std::string path) : path_(std::move(path)) {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && !stream_; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".kqi%08x", random());
        const std::string candidate = path_ + suffix;
        // "x": fail if it exists, so two runs never share a temporary file.
        if (std::FILE* f = std::fopen(candidate.c_str(), "wbx")) {
            std::fclose(f);
            tempPath_ = candidate;
            stream_ = std::make_unique<TFileStream>(tempPath_, FileMode::Create);
        }
    }
    if (!stream_) throw EFileCreateError(CannotCreateFileMessage(path_));
}

AtomicOutputFile::~AtomicOutputFile() {
    stream_.reset();
    if (!committed_) {
        std::error_code ignored;
        std::filesystem::remove(tempPath_, ignored);
    }
}

void AtomicOutputFile::Commit() {
    stream_.reset();
    std::error_code error;
    std::filesystem::rename(tempPath_, path_, error);
    if (error) throw EFileCreateError(CannotCreateFileMessage(path_));
    committed_ = true;
}

int32_t TStdoutStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const size_t put = std::fwrite(buffer, 1, static_cast<size_t>(count), stdout);
    written_ += static_cast<int64_t>(put);
    return static_cast<int32_t>(put);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    TFileStream file(path, FileMode::OpenReadShared);
    const int64_t size = file.Size();
    if (size > 2147483647) throw ToolError(path + ": larger than 2147483647 bytes, which an entry cannot hold");
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    file.ReadBuffer(bytes.data(), static_cast<int32_t>(size));
    return bytes;
}

bool StderrIsTerminal() { return KQ_ISATTY(KQ_FILENO(stderr)) != 0; }

}  // namespace kq::tools
