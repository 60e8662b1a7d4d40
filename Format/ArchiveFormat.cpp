#include "InstCompress/ArchiveFormat.h"

#include <algorithm>

#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"

namespace kq {

ArchiveHeader ReadArchiveHeader(TStream& archive, const std::function<void(const std::string&)>& recognize) {
    ArchiveHeader header;
    header.methodId.assign(3, '\0');
    if (archive.Size() - archive.Position() < kArchiveHeaderSize) return header;

    std::array<uint8_t, kArchiveHeaderSize> raw{};
    archive.ReadBuffer(raw.data(), kArchiveHeaderSize);
    if (!std::equal(kArchiveSignature.begin(), kArchiveSignature.end(), raw.begin())) {
        throw EInvalidHeader(msg::kInvalidHeader);
    }
    header.totalSize = static_cast<int32_t>(LoadLE32(&raw[8]));
    header.archiveType = raw[12];
    header.reserved = static_cast<int32_t>(LoadLE32(&raw[13]));
    header.archiveLock = static_cast<int32_t>(LoadLE32(&raw[17]));
    if (header.archiveType != kArchiveTypeMulti) throw EInvalidHeaderArchiveType(msg::kArchiveType);
    header.methodId.assign(reinterpret_cast<const char*>(&raw[5]), 3);
    if (recognize) recognize(header.methodId);
    return header;
}

std::optional<Entry> ReadEntryHeader(TStream& archive) {
    std::array<uint8_t, kEntryHeaderSize> raw{};
    if (archive.Read(raw.data(), kEntryHeaderSize) != kEntryHeaderSize) return std::nullopt;

    Entry entry;
    EntryHeader& h = entry.header;
    h.nameLength = static_cast<int16_t>(LoadLE16(&raw[0]));
    std::copy(raw.begin() + 2, raw.begin() + 8, h.uninterpreted.begin());
    h.expandedSize = static_cast<int32_t>(LoadLE32(&raw[8]));
    h.storedSize = static_cast<int32_t>(LoadLE32(&raw[12]));
    h.method = raw[16];
    h.checksum = static_cast<int32_t>(LoadLE32(&raw[17]));
    h.lock = static_cast<int32_t>(LoadLE32(&raw[21]));
    // Negative counts have no meaning; a negative stored size would seek the
    // walk backwards onto the same header again.
    if (h.nameLength < 0 || h.storedSize < 0) return std::nullopt;

    entry.name.assign(static_cast<size_t>(h.nameLength), '\0');
    if (h.nameLength > 0 && archive.Read(entry.name.data(), h.nameLength) != h.nameLength) {
        return std::nullopt;
    }
    return entry;
}

std::array<uint8_t, kArchiveHeaderSize> BuildArchiveHeader(std::string_view methodId, int32_t totalSize,
                                                           uint8_t archiveType, int32_t key) {
    std::array<uint8_t, kArchiveHeaderSize> raw{};
    std::copy(kArchiveSignature.begin(), kArchiveSignature.end(), raw.begin());
    for (size_t i = 0; i < 3; ++i) raw[5 + i] = i < methodId.size() ? static_cast<uint8_t>(methodId[i]) : 0;
    StoreLE32(&raw[8], static_cast<uint32_t>(totalSize));
    raw[12] = archiveType;
    StoreLE32(&raw[13], 0);
    StoreLE32(&raw[17], key > 0 ? 2u : 0u);
    return raw;
}

std::array<uint8_t, kEntryHeaderSize> BuildEntryHeader(const EntryHeader& h) {
    std::array<uint8_t, kEntryHeaderSize> raw{};
    StoreLE16(&raw[0], static_cast<uint16_t>(h.nameLength));
    std::copy(h.uninterpreted.begin(), h.uninterpreted.end(), raw.begin() + 2);
    StoreLE32(&raw[8], static_cast<uint32_t>(h.expandedSize));
    StoreLE32(&raw[12], static_cast<uint32_t>(h.storedSize));
    raw[16] = h.method;
    StoreLE32(&raw[17], static_cast<uint32_t>(h.checksum));
    StoreLE32(&raw[21], static_cast<uint32_t>(h.lock));
    return raw;
}

}  // namespace kq
