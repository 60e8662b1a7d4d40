#include "InstCompress/Stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "InstCompress/Exceptions.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kq {

namespace {

// Resolves a seek request against a current position and size; a result
// before the start clamps to 0.
int64_t ResolveSeek(int64_t offset, SeekOrigin origin, int64_t position, int64_t size) {
    int64_t base = 0;
    switch (origin) {
        case SeekOrigin::Beginning: base = 0; break;
        case SeekOrigin::Current: base = position; break;
        case SeekOrigin::End: base = size; break;
    }
    if (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) {
        return std::numeric_limits<int64_t>::max();
    }
    return std::max<int64_t>(0, base + offset);
}

int32_t ClampCount(int64_t available, int32_t count) {
    if (count <= 0 || available <= 0) return 0;
    return static_cast<int32_t>(std::min<int64_t>(available, count));
}

}  // namespace

int64_t TStream::Size() {
    const int64_t position = Position();
    const int64_t size = Seek(0, SeekOrigin::End);
    SetPosition(position);
    return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EStreamReadError(msg::kStreamRead);
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EStreamWriteError(msg::kStreamWrite);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    return CopyFrom(source, count, nullptr);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count,
                          const std::function<void(std::span<const uint8_t>)>& onChunk) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    if (count <= 0) return 0;
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(count, kCopyChunk)));
    int64_t left = count;
    while (left > 0) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(left, kCopyChunk));
        source.ReadBuffer(chunk.data(), n);
        if (onChunk) onChunk(std::span<const uint8_t>(chunk.data(), static_cast<size_t>(n)));
        WriteBuffer(chunk.data(), n);
        left -= n;
    }
    return count;
}

// ---------------------------------------------------------------- files

#ifdef _WIN32

TFileStream::TFileStream(const std::string& fileName, FileMode mode) : fileName_(fileName) {
    DWORD access = GENERIC_READ;
    DWORD share = 0;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case FileMode::OpenReadShared: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
        case FileMode::OpenReadExclusive: break;
        case FileMode::Create:
            access = GENERIC_READ | GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
            break;
    }
    HANDLE h = CreateFileW(WideFromUtf8(fileName).c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (mode == FileMode::Create) throw EFileCreateError(CannotCreateFileMessage(fileName));
        throw EFileOpenError(CannotOpenFileMessage(fileName));
    }
    file_ = h;
}

TFileStream::TFileStream(std::string fileName, NativeFile file) noexcept
    : fileName_(std::move(fileName)), file_(file) {}

TFileStream::~TFileStream() {
    CloseHandle(static_cast<HANDLE>(file_));
}

bool RemoveFile(const std::string& fileName) noexcept {
    try {
        return DeleteFileW(WideFromUtf8(fileName).c_str()) != 0;
    } catch (...) {
        return false;
    }
}

int LastSystemError() noexcept {
    return static_cast<int>(GetLastError());
}

std::string SystemErrorText(int code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return "system error " + std::to_string(static_cast<DWORD>(code));
    std::wstring words(text, length);
    LocalFree(text);
    // The system's text ends with ".\r\n"; callers put it in parentheses.
    while (!words.empty() &&
           (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' || words.back() == L'.')) {
        words.pop_back();
    }
    return Utf8FromWide(words);
}

std::wstring WideFromUtf8(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    // A tool's narrow command line gives names in the ANSI code page; bytes
    // that are not UTF-8 are taken as such.
    UINT codePage = CP_UTF8;
    int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length == 0) {
        codePage = CP_ACP;
        length = MultiByteToWideChar(codePage, 0, utf8.data(), size, nullptr, 0);
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, utf8.data(), size, wide.data(), length);
    return wide;
}

std::string Utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0) return 0;
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(file_), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return 0;
    }
    return static_cast<int32_t>(got);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    DWORD put = 0;
    if (!WriteFile(static_cast<HANDLE>(file_), buffer, static_cast<DWORD>(count), &put, nullptr)) {
        return 0;
    }
    return static_cast<int32_t>(put);
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
    DWORD method = FILE_BEGIN;
    if (origin == SeekOrigin::Current) method = FILE_CURRENT;
    if (origin == SeekOrigin::End) method = FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER result;
    result.QuadPart = 0;
    if (!SetFilePointerEx(static_cast<HANDLE>(file_), distance, &result, method)) {
        // A target before the start of the file clamps to 0, as for the other streams.
        distance.QuadPart = 0;
        SetFilePointerEx(static_cast<HANDLE>(file_), distance, &result, FILE_BEGIN);
    }
    return result.QuadPart;
}

int64_t TFileStream::Size() {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(static_cast<HANDLE>(file_), &size)) return 0;
    return size.QuadPart;
}

bool TFileStream::CanSeek() {
    return GetFileType(static_cast<HANDLE>(file_)) == FILE_TYPE_DISK;
}

#else

TFileStream::TFileStream(const std::string& fileName, FileMode mode) : fileName_(fileName) {
    int flags = O_RDONLY | O_CLOEXEC;
    if (mode == FileMode::Create) flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
    do {
        file_ = ::open(fileName.c_str(), flags, 0666);
    } while (file_ < 0 && errno == EINTR);
    if (file_ < 0) {
        if (mode == FileMode::Create) throw EFileCreateError(CannotCreateFileMessage(fileName));
        throw EFileOpenError(CannotOpenFileMessage(fileName));
    }
    struct stat st {};
    if (mode != FileMode::Create && (::fstat(file_, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(file_);
        throw EFileOpenError(CannotOpenFileMessage(fileName));
    }
}

TFileStream::TFileStream(std::string fileName, NativeFile file) noexcept
    : fileName_(std::move(fileName)), file_(file) {}

TFileStream::~TFileStream() {
    ::close(file_);
}

bool RemoveFile(const std::string& fileName) noexcept {
    return ::unlink(fileName.c_str()) == 0;
}

int LastSystemError() noexcept {
    return errno;
}

std::string SystemErrorText(int code) {
    return std::strerror(code);
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(file_, out + done, static_cast<size_t>(count - done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<int32_t>(got);
    }
    return done;
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(file_, in + done, static_cast<size_t>(count - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<int32_t>(put);
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
    int whence = SEEK_SET;
    if (origin == SeekOrigin::Current) whence = SEEK_CUR;
    if (origin == SeekOrigin::End) whence = SEEK_END;
    off_t result = ::lseek(file_, static_cast<off_t>(offset), whence);
    if (result < 0) result = ::lseek(file_, 0, SEEK_SET);  // before the start: clamp to 0
    return static_cast<int64_t>(result);
}

int64_t TFileStream::Size() {
    struct stat st {};
    if (::fstat(file_, &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

bool TFileStream::CanSeek() {
    struct stat st {};
    return ::fstat(file_, &st) == 0 && S_ISREG(st.st_mode);
}

#endif

// ---------------------------------------------------------------- memory

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    const int32_t n = ClampCount(Size() - position_, count);
    if (n > 0) std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const auto end = static_cast<size_t>(position_) + static_cast<size_t>(count);
    if (end > bytes_.size()) {
        try {
            bytes_.resize(end);
        } catch (const std::bad_alloc&) {
            throw EOutOfMemory(msg::kOutOfMemory);
        }
    }
    std::memcpy(bytes_.data() + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
    position_ = ResolveSeek(offset, origin, position_, Size());
    return position_;
}

int32_t TSpanStream::Read(void* buffer, int32_t count) {
    const int32_t n = ClampCount(size_ - position_, count);
    if (n > 0) std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TSpanStream::Write(const void*, int32_t) {
    return 0;
}

int64_t TSpanStream::Seek(int64_t offset, SeekOrigin origin) {
    position_ = ResolveSeek(offset, origin, position_, size_);
    return position_;
}

// ---------------------------------------------------------------- windows

TSubStream::TSubStream(TStream& base, int64_t start, int64_t length)
    : base_(base), start_(start), length_(std::max<int64_t>(0, length)) {}

int32_t TSubStream::Read(void* buffer, int32_t count) {
    const int32_t n = ClampCount(length_ - position_, count);
    if (n == 0) return 0;
    base_.SetPosition(start_ + position_);
    const int32_t got = base_.Read(buffer, n);
    position_ += got;
    return got;
}

int32_t TSubStream::Write(const void*, int32_t) {
    return 0;
}

int64_t TSubStream::Seek(int64_t offset, SeekOrigin origin) {
    position_ = ResolveSeek(offset, origin, position_, length_);
    return position_;
}

int32_t TCountingStream::Write(const void*, int32_t count) {
    if (count <= 0) return 0;
    position_ += count;
    written_ = std::max(written_, position_);
    return count;
}

int64_t TCountingStream::Seek(int64_t offset, SeekOrigin origin) {
    position_ = ResolveSeek(offset, origin, position_, written_);
    return position_;
}

}  // namespace kq
