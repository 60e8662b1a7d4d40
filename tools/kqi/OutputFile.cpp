#include "tools/kqi/OutputFile.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "InstCompress/Exceptions.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace kq::tools {

namespace fs = std::filesystem;

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
        // Known to the signal handler before it exists, so a signal never
        // leaves it behind.
        const int slot = RegisterTemp(candidate);
        // Never one that exists, so two runs never share a temporary file.
        std::unique_ptr<TFileStream> created = CreateNewFile(candidate, error);
        if (!created) {
            UnregisterTemp(slot);
            if (!IsExistsError(error)) break;
            continue;
        }
        tempPath_ = candidate;
        slot_ = slot;
        stream_ = std::move(created);
    }
    if (!stream_) {
        throw ReasonedError("EFileCreateError",
                            CannotCreateFileMessage(path_) + " (" + FileProblem(path_, error, true) + ")");
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
        throw ReasonedError("EFileCreateError",
                            CannotCreateFileMessage(path_) + " (" + error.message() + ")");
    }
    committed_ = true;
}

}  // namespace kq::tools
