#include "InstCompressPack/SpillBuffer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>

#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace kq::pack {

// A file without a name where the system allows it (so that nothing is left
// behind however the process ends), else one removed as soon as it is open.
class SpillBuffer::TempFile {
public:
    explicit TempFile(const std::string& directory) {
        std::error_code ignored;
#ifdef _WIN32
        // tmpfile() would make it in the drive's root, where users may not
        // write: a named file in the folder, deleted when it is closed.
        const std::wstring wideDir = directory.empty()
                                         ? std::filesystem::temp_directory_path(ignored).wstring()
                                         : WideFromUtf8(directory);
        const std::string dir = Utf8FromWide(wideDir);
        std::wstring name(MAX_PATH + 1, L'\0');
        int error = 0;
        if (GetTempFileNameW(wideDir.c_str(), L"kqi", 0, name.data()) == 0) {
            error = LastSystemError();
        } else {
            name.resize(std::wcslen(name.c_str()));
            const HANDLE h =
                CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                error = LastSystemError();
                DeleteFileW(name.c_str());
            } else {
                const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
                if (fd < 0) {
                    CloseHandle(h);
                } else if ((file_ = _fdopen(fd, "w+b")) == nullptr) {
                    _close(fd);
                }
            }
        }
        if (!file_) {
            throw PackError("cannot make a temporary file in " + dir + " (" +
                            (error != 0 ? SystemErrorText(error) : std::string(std::strerror(errno))) + ")");
        }
#else
        const std::string dir =
            directory.empty() ? std::filesystem::temp_directory_path(ignored).string() : directory;
        int fd = -1;
#ifdef O_TMPFILE
        fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
        if (fd < 0) {
            std::string pattern = dir + "/kqi-spill-XXXXXX";
            fd = ::mkstemp(pattern.data());
            if (fd >= 0) ::unlink(pattern.c_str());
        }
        if (fd >= 0) {
            file_ = ::fdopen(fd, "w+b");
            if (!file_) ::close(fd);
        }
        if (!file_) {
            throw PackError("cannot make a temporary file in " + dir + " (" + std::strerror(errno) + ")");
        }
#endif
    }
    ~TempFile() {
        std::fclose(file_);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(std::span<const uint8_t> bytes) {
        if (bytes.empty()) return;
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
            throw PackError(std::string("cannot write a temporary file (") + std::strerror(errno) + ")");
        }
    }

    void MoveTo(TStream& out) {
        std::vector<uint8_t> chunk(TStream::kCopyChunk);
        if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
            throw PackError(std::string("cannot read back a temporary file (") + std::strerror(errno) + ")");
        }
        while (const size_t n = std::fread(chunk.data(), 1, chunk.size(), file_)) {
            out.WriteBuffer(chunk.data(), static_cast<int32_t>(n));
        }
        if (std::ferror(file_)) throw PackError("cannot read back a temporary file");
    }

private:
    std::FILE* file_ = nullptr;
};

SpillBuffer::SpillBuffer(std::string directory, size_t memoryLimit)
    : directory_(std::move(directory)), memoryLimit_(memoryLimit) {}

SpillBuffer::~SpillBuffer() = default;

void SpillBuffer::Append(std::span<const uint8_t> bytes) {
    size_ += static_cast<int64_t>(bytes.size());
    if (!file_ && memory_.size() + bytes.size() <= memoryLimit_) {
        memory_.insert(memory_.end(), bytes.begin(), bytes.end());
        return;
    }
    if (!file_) {
        file_ = std::make_unique<TempFile>(directory_);
        file_->Write(memory_);
        std::vector<uint8_t>().swap(memory_);
    }
    file_->Write(bytes);
}

void SpillBuffer::MoveTo(TStream& out) {
    if (file_) {
        file_->MoveTo(out);
        file_.reset();
    } else {
        for (size_t at = 0; at < memory_.size(); at += TStream::kCopyChunk) {
            const size_t n = std::min<size_t>(TStream::kCopyChunk, memory_.size() - at);
            out.WriteBuffer(memory_.data() + at, static_cast<int32_t>(n));
        }
        memory_.clear();
    }
    size_ = 0;
}

}  // namespace kq::pack
