// Walking the entries of an archive, the way the component does, and
// opening the archive inside a file that may be a setup image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompress/Stream.h"

namespace kq {

class TKQInstCompress;

// One entry as the walk sees it.
struct ArchiveEntry {
    std::string name;
    uint8_t method = 0;  // method index; 5 to 255 name no method
    int32_t lock = 0;    // greater than 0: locked; 2: scrambled with the key
    int32_t expandedSize = 0;
    int32_t storedSize = 0;  // bytes of entry data in the archive, never negative
    uint32_t checksum = 0;   // as stored: plus the key for a locked entry
    int64_t dataOffset = 0;  // archive stream position of the first data byte
    std::array<uint8_t, 6> uninterpreted{};
};

// Walks the entries of the archive at the stream's position:
//   TEntryReader reader(archive, component);
//   while (const ArchiveEntry* entry = reader.Next()) { ... reader.Expand(dest); }
// The walk keeps a 32-bit wrapping running sum of the expanded sizes; it
// reads the next entry header first and stops when there is none (a short
// header or name, a negative name length or stored size) or when the sum
// has reached the header's total size. So one header beyond the last counted
// entry may be read.
//
// The component recognises the header's method id (raising for an unknown
// one) and expands entries with its key and events. The stream and the
// component must outlive the reader, and nobody else moves the stream
// during the walk.
class TEntryReader {
public:
    TEntryReader(TStream& archive, TKQInstCompress& component);
    TEntryReader(const TEntryReader&) = delete;
    TEntryReader& operator=(const TEntryReader&) = delete;

    const ArchiveHeader& Header() const noexcept { return header_; }

    // The next entry, or nullptr at the end of the walk. The pointer stays
    // valid until the next call.
    const ArchiveEntry* Next();

    // Expands the current entry into `dest` and verifies it (the component's
    // ExpandEntry). The walk then goes on from where the expansion left the
    // archive stream, which for a coded entry may be short of the entry's end.
    void Expand(TStream& dest);
    // Expands the current entry without keeping its bytes. Whatever the
    // outcome, the walk then goes on after the entry's data.
    void Test();

    // Why the walk ended: an unreadable entry header at EndOffset(), or the
    // total size reached. None while it goes on.
    enum class End { None, NoHeader, TotalReached };
    End WalkEnd() const noexcept { return end_; }
    // Archive stream position where the last entry header was read.
    int64_t EndOffset() const noexcept { return headerOffset_; }

    TStream& Archive() noexcept { return archive_; }

private:
    enum class Current { None, Untouched, Expanded, Tested };

    TStream& archive_;
    TKQInstCompress& component_;
    ArchiveHeader header_;
    ArchiveEntry entry_;
    Current current_ = Current::None;
    End end_ = End::None;
    uint32_t runningSum_ = 0;  // wraps like a 32-bit integer; compared signed
    int64_t headerOffset_ = 0;
};

// The archive inside a file: the file itself when it starts with the archive
// signature, else the payload of a patched setup image; a file that is
// neither is given whole (its header then fails to read).
class TArchiveFile {
public:
    explicit TArchiveFile(const std::string& path, FileMode mode = FileMode::OpenReadExclusive);

    TStream& Stream() noexcept {
        if (view_) return *view_;
        return *file_;
    }
    bool IsSetupImage() const noexcept { return view_ != nullptr; }
    // File offset of the archive's first byte.
    int64_t ArchiveOffset() const noexcept { return offset_; }
    // What a file that is no archive says of a payload: why there is none,
    // or the complete one of a setup image. A plain archive reads NoMarker.
    const PayloadFields& Payload() const noexcept { return payload_; }

private:
    std::unique_ptr<TFileStream> file_;
    std::unique_ptr<TSubStream> view_;
    int64_t offset_ = 0;
    PayloadFields payload_;
};

}  // namespace kq
