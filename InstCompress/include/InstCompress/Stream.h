// Seekable byte streams: the abstract base, files, memory, and two helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kq {

enum class SeekOrigin { Beginning, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Moves up to `count` bytes; fewer only at the end of the stream.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
    virtual int64_t Size();
    // True when seeking back and writing there overwrites what was written:
    // files on disk and memory. A write-only sink that merely counts (standard
    // output, a pipe, a forwarding counter) says no, the default.
    virtual bool CanSeek() { return false; }

    // Raise EStreamReadError / EStreamWriteError when fewer bytes move than asked.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);

    int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(int64_t position) { Seek(position, SeekOrigin::Beginning); }
    int64_t Seek(int64_t offset) { return Seek(offset, SeekOrigin::Current); }

    // Copies `count` bytes from the source's position in chunks of at most
    // kCopyChunk bytes. A count of 0 copies the whole source from position 0.
    int64_t CopyFrom(TStream& source, int64_t count);
    // The same, showing `onChunk` each chunk after it is read and before it
    // is written: a look at the bytes that costs no second read.
    int64_t CopyFrom(TStream& source, int64_t count,
                     const std::function<void(std::span<const uint8_t>)>& onChunk);

    static constexpr int32_t kCopyChunk = 61440;
};

enum class FileMode {
    OpenReadShared,     // read-only, others may read and write
    OpenReadExclusive,  // read-only, nobody else may open it
    Create,             // create or truncate, write-only
};

#ifdef _WIN32
using NativeFile = void*;  // a HANDLE
#else
using NativeFile = int;  // a file descriptor
#endif

// File names are UTF-8; on Windows they reach the system's wide calls.
class TFileStream final : public TStream {
public:
    TFileStream(const std::string& fileName, FileMode mode);
    // Takes over a file the caller opened (for reading, writing or both).
    TFileStream(std::string fileName, NativeFile file) noexcept;
    ~TFileStream() override;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override;
    bool CanSeek() override;  // a regular file, not a pipe or a terminal

    const std::string& FileName() const noexcept { return fileName_; }
    NativeFile Native() const noexcept { return file_; }

private:
    std::string fileName_;
    NativeFile file_;
};

// Deletes a file by name; false when it could not.
bool RemoveFile(const std::string& fileName) noexcept;

// The calling thread's last system error: errno, or GetLastError on Windows
// (which a failed TFileStream open leaves as it was).
int LastSystemError() noexcept;
// The system's words for such an error, for example "No such file or
// directory": strerror, or FormatMessageW on Windows.
std::string SystemErrorText(int code);

#ifdef _WIN32
// UTF-8 to and from the system's UTF-16. Bytes that are not UTF-8 are taken
// in the ANSI code page.
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
#endif

// Growable in-memory stream. Seeking past the end and writing there fills the
// gap with zeros.
class TMemoryStream final : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
    bool CanSeek() override { return true; }

    const std::vector<uint8_t>& Bytes() const noexcept { return bytes_; }
    std::vector<uint8_t>& Bytes() noexcept { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int64_t position_ = 0;
};

// Read-only view of bytes the caller keeps alive.
class TSpanStream final : public TStream {
public:
    TSpanStream(const uint8_t* data, size_t size) : data_(data), size_(static_cast<int64_t>(size)) {}

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return size_; }

private:
    const uint8_t* data_;
    int64_t size_;
    int64_t position_ = 0;
};

// A window [start, start + length) of another stream, seen as a stream of its
// own that starts at 0: an archive inside a setup image.
class TSubStream final : public TStream {
public:
    TSubStream(TStream& base, int64_t start, int64_t length);

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return length_; }

private:
    TStream& base_;
    int64_t start_;
    int64_t length_;
    int64_t position_ = 0;
};

// Write-only sink that counts what it is given.
class TCountingStream final : public TStream {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t count) override;
    using TStream::Seek;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return written_; }

    int64_t BytesWritten() const noexcept { return written_; }

private:
    int64_t written_ = 0;
    int64_t position_ = 0;
};

}  // namespace kq
