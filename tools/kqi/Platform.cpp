#include "tools/kqi/Platform.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kq::tools {

namespace fs = std::filesystem;

#ifdef _WIN32

// libstdc++ would read a narrow path in the ANSI code page; the streams'
// conversion is used instead, so that every file kqi names is the same one.
fs::path PathFromUtf8(std::string_view utf8) {
    return fs::path(WideFromUtf8(std::string(utf8)));
}

std::string Utf8FromPath(const fs::path& path) {
    return Utf8FromWide(path.wstring());
}

bool IsExistsError(int code) {
    return code == static_cast<int>(ERROR_FILE_EXISTS) || code == static_cast<int>(ERROR_ALREADY_EXISTS);
}

std::unique_ptr<TFileStream> CreateNewFile(const std::string& path, int& error) {
    const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = LastSystemError();
        return nullptr;
    }
    return std::make_unique<TFileStream>(path, file);
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf8FromWide(argv[i]));
    return args;
}

namespace {

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

Utf8Console::Utf8Console() {
    if (!IsConsole(STD_OUTPUT_HANDLE) && !IsConsole(STD_ERROR_HANDLE)) return;
    const UINT codePage = GetConsoleOutputCP();
    if (codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) previous_ = codePage;
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) SetConsoleOutputCP(previous_);
}

#else

fs::path PathFromUtf8(std::string_view utf8) {
    return fs::path(std::string(utf8));
}

std::string Utf8FromPath(const fs::path& path) {
    return path.string();
}

bool IsExistsError(int code) {
    return code == EEXIST;
}

std::unique_ptr<TFileStream> CreateNewFile(const std::string& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::make_unique<TFileStream>(path, fd);
}

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

#endif

}  // namespace kq::tools
