#include "tools/kqi/Cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "InstCompress/Exceptions.h"
#include "tools/kqi/Platform.h"

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kq::tools {

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
        const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
        throw ReasonedError(e.ClassName(),
                            e.Message() + " (" + FileProblem(path, error, mode == FileMode::Create) + ")");
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
                     std::strerror(error   ? error
                                   : errno ? errno
                                           : EIO));
        return false;
    }
    return true;
}

}  // namespace kq::tools
