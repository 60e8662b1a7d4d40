#include "tests/TestArchives.h"

#include <algorithm>
#include <cstring>

#include "InstCompress/InstCompress.h"
#include "InstCompress/PayloadLocator.h"

namespace kq::test {

uint32_t Sum(const Bytes& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

Bytes ImageWithMarker(size_t size, size_t at, const uint8_t field[4]) {
    Bytes image(size, 0xCC);
    std::memcpy(image.data() + at, kPayloadMarker, kMarkerLength);
    std::memcpy(image.data() + at + kMarkerLength, field,
                std::min<size_t>(kMarkerFieldLength, size - at - kMarkerLength));
    return image;
}

ArchiveBuilder::ArchiveBuilder(std::string methodId, uint8_t archiveType)
    : methodId_(std::move(methodId)), archiveType_(archiveType) {}

ArchiveBuilder& ArchiveBuilder::Total(int32_t total) {
    totalSet_ = true;
    total_ = total;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::Key(int32_t key) {
    key_ = key;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::Entry(const std::string& name, uint8_t method, int32_t expandedSize,
                                      const Bytes& stored, uint32_t checksum, int32_t lock) {
    EntryHeader h;
    h.nameLength = static_cast<int16_t>(name.size());
    h.expandedSize = expandedSize;
    h.storedSize = static_cast<int32_t>(stored.size());
    h.method = method;
    h.checksum = static_cast<int32_t>(checksum);
    h.lock = lock;
    const auto raw = BuildEntryHeader(h);
    body_.insert(body_.end(), raw.begin(), raw.end());
    body_.insert(body_.end(), name.begin(), name.end());
    body_.insert(body_.end(), stored.begin(), stored.end());
    sum_ += expandedSize;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::Stored(const std::string& name, const Bytes& bytes, int32_t lock,
                                       int32_t key) {
    const uint32_t checksum = Sum(bytes) + (lock > 0 ? static_cast<uint32_t>(key) : 0u);
    return Entry(name, kMethodStored, static_cast<int32_t>(bytes.size()), bytes, checksum, lock);
}

ArchiveBuilder& ArchiveBuilder::Raw(const Bytes& bytes) {
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes ArchiveBuilder::Build() const {
    const auto header =
        BuildArchiveHeader(methodId_, totalSet_ ? total_ : static_cast<int32_t>(sum_), archiveType_, key_);
    // Sized up front: GCC 12 at -O3 warns falsely about inserting after an
    // array-initialised vector.
    Bytes out(header.size() + body_.size());
    std::copy(header.begin(), header.end(), out.begin());
    std::copy(body_.begin(), body_.end(), out.begin() + static_cast<std::ptrdiff_t>(header.size()));
    return out;
}

std::vector<std::string> LetterWalkNames(const Bytes& archive) {
    std::vector<std::string> names;
    if (archive.size() < 21) return names;
    const auto field = [&](size_t at) { return static_cast<int32_t>(LoadLE32(archive.data() + at)); };
    const int32_t total = field(8);
    uint32_t sum = 0;
    const auto size = static_cast<int64_t>(archive.size());
    for (int64_t at = 21; size - at >= 25;) {
        const auto header = static_cast<size_t>(at);
        const auto nameLength = static_cast<int16_t>(archive[header] | archive[header + 1] << 8);
        if (nameLength < 0 || size - at - 25 < nameLength) break;
        if (static_cast<int32_t>(sum) >= total) break;
        const auto name = archive.begin() + static_cast<std::ptrdiff_t>(at + 25);
        names.emplace_back(name, name + nameLength);
        sum += static_cast<uint32_t>(field(header + 8));
        const int32_t dataSize = field(header + 12);
        if (dataSize < 0) break;  // a seek backwards: no writer of ours makes one
        at += 25 + nameLength + dataSize;
    }
    return names;
}

Bytes ExpandNamed(const Bytes& archive, const std::string& name, int32_t key) {
    TKQInstCompress component;
    component.Key = key;
    TMemoryStream source(archive), dest;
    component.ExpandNamedEntry(source, dest, name);
    return dest.Bytes();
}

Bytes Scramble(Bytes bytes, int32_t key) {
    uint8_t k[4];
    StoreLE32(k, static_cast<uint32_t>(key));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= k[i & 3];
    return bytes;
}

}  // namespace kq::test
