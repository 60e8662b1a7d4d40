// What differs between Windows and POSIX under the kqi commands: paths are
// UTF-8 strings everywhere in kqi and become the system's own form only
// here; the system's error codes and their words; the command line and the
// console.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "InstCompress/Stream.h"

namespace kq::tools {

// A UTF-8 path as the system's path (wide on Windows), and back.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// kq::LastSystemError and kq::SystemErrorText (InstCompress/Stream.h) give
// the system's error codes and words. The code of an existing path: EEXIST,
// or ERROR_FILE_EXISTS.
bool IsExistsError(int code);

// Makes the file `path`, which must not exist yet, and keeps it open for
// reading and writing: opening it again to truncate it would make ext4 write
// it all back to the disk when it is closed. Null with the system's error
// code otherwise.
std::unique_ptr<TFileStream> CreateNewFile(const std::string& path, int& error);

#ifdef _WIN32
// wmain's UTF-16 arguments as UTF-8 strings, without the program name.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#endif

// For the life of the object, a console that shows kqi's output takes it as
// UTF-8 (its code page is set back afterwards). Nothing on POSIX, nor where
// the output goes to a file or a pipe, which get the UTF-8 bytes as they are.
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    [[maybe_unused]] unsigned previous_ = 0;  // 0: left as it was
};

}  // namespace kq::tools
