// Byte layout of the archive container: the 21-byte archive header and the
// 25-byte entry headers. All integers are little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "InstCompress/Methods.h"

namespace kq {

class TStream;

inline constexpr std::array<uint8_t, 5> kArchiveSignature = {'V', 'R', 'A', 'X', 0x1A};
inline constexpr int kArchiveHeaderSize = 21;
inline constexpr int kEntryHeaderSize = 25;
inline constexpr uint8_t kArchiveTypeMulti = 1;

struct ArchiveHeader {
    std::string methodId;  // 3 characters; undefined for a too-short archive
    int32_t totalSize = 0;
    uint8_t archiveType = kArchiveTypeMulti;
    int32_t reserved = 0;
    int32_t archiveLock = 0;
};

struct EntryHeader {
    int16_t nameLength = 0;
    std::array<uint8_t, 6> uninterpreted{};
    int32_t expandedSize = 0;
    int32_t storedSize = 0;
    uint8_t method = 0;
    int32_t checksum = 0;
    int32_t lock = 0;
};

struct Entry {
    EntryHeader header;
    std::string name;
};

// Reads and validates the archive header. Fewer than 21 bytes left gives a
// header with total size 0 (nothing to expand) without reading. `recognize`
// is called with the method id after the signature and type checks pass.
ArchiveHeader ReadArchiveHeader(TStream& archive, const std::function<void(const std::string&)>& recognize);

// Reads one entry header and its name; std::nullopt at the end of the
// archive: a short header or name, or a negative name length or stored size.
std::optional<Entry> ReadEntryHeader(TStream& archive);

// The writer's form of the header: lock 2 when `key` is greater than 0.
std::array<uint8_t, kArchiveHeaderSize> BuildArchiveHeader(std::string_view methodId, int32_t totalSize,
                                                           uint8_t archiveType, int32_t key);

std::array<uint8_t, kEntryHeaderSize> BuildEntryHeader(const EntryHeader& header);

// Little-endian helpers shared by readers and writers.
inline uint32_t LoadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t LoadLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace kq
