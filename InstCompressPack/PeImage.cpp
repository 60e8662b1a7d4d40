#include "InstCompressPack/PeImage.h"

#include <array>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"

namespace kq::pack {

namespace {

constexpr size_t kDosHeaderSize = 0x40;
constexpr size_t kNewHeaderOffsetAt = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptionalHeaderSizeAt = 16;  // in the COFF header
constexpr size_t kChecksumAt = 64;            // in the optional header, either kind
constexpr size_t kDataDirectoryEntrySize = 8;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

bool Fits(const std::vector<uint8_t>& image, size_t at, size_t length) {
    return at <= image.size() && length <= image.size() - at;
}

}  // namespace

std::optional<PeLayout> ReadPeLayout(const std::vector<uint8_t>& image) {
    if (!Fits(image, 0, kDosHeaderSize) || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
    const size_t pe = LoadLE32(image.data() + kNewHeaderOffsetAt);
    if (!Fits(image, pe, 4 + kCoffHeaderSize) || image[pe] != 'P' || image[pe + 1] != 'E' ||
        image[pe + 2] != 0 || image[pe + 3] != 0) {
        return std::nullopt;
    }
    const size_t optionalSize = LoadLE16(image.data() + pe + 4 + kOptionalHeaderSizeAt);
    const size_t optional = pe + 4 + kCoffHeaderSize;
    if (optionalSize < 2 || !Fits(image, optional, optionalSize)) return std::nullopt;
    const uint16_t magic = LoadLE16(image.data() + optional);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
    const bool plus = magic == kPe32PlusMagic;
    // Counted directories follow the fixed fields, which differ in size.
    const size_t countAt = plus ? 108 : 92;
    if (optionalSize < countAt + 4) return std::nullopt;
    PeLayout layout{plus ? PeKind::Pe32Plus : PeKind::Pe32, optional + kChecksumAt, std::nullopt};
    const uint32_t directories = LoadLE32(image.data() + optional + countAt);
    const size_t entry = countAt + 4 + kSecurityDirectory * kDataDirectoryEntrySize;
    if (directories > kSecurityDirectory && optionalSize >= entry + kDataDirectoryEntrySize) {
        layout.certificateEntryAt = optional + entry;
        layout.certificateOffset = LoadLE32(image.data() + optional + entry);
        layout.certificateSize = LoadLE32(image.data() + optional + entry + 4);
    }
    return layout;
}

uint32_t PeChecksum(const std::vector<uint8_t>& image, size_t checksumAt) {
    PeChecksumSum sum(checksumAt);
    sum.Add(image.data(), image.size(), 0);
    return sum.Finish(image.size());
}

void PeChecksumSum::Add(const uint8_t* bytes, size_t count, uint64_t offset) {
    for (size_t i = 0; i < count; ++i) {
        const uint64_t at = offset + i;
        if (at >= checksumAt_ && at < checksumAt_ + 4) continue;
        // Little-endian words: a byte at an odd offset is a word's high half.
        sum_ += static_cast<uint64_t>(bytes[i]) << (8 * (at & 1));
    }
}

uint32_t PeChecksumSum::Finish(uint64_t size) const {
    uint64_t sum = sum_;
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum) + static_cast<uint32_t>(size);
}

void StripCertificateTable(std::vector<uint8_t>& image, const PeLayout& layout) {
    if (!layout.certificateEntryAt || layout.certificateSize == 0) return;
    if (static_cast<uint64_t>(layout.certificateOffset) + layout.certificateSize != image.size() ||
        layout.certificateOffset < *layout.certificateEntryAt + kDataDirectoryEntrySize) {
        throw PackError("the stub's certificate table does not end the file, so it cannot be dropped");
    }
    image.resize(layout.certificateOffset);
    StoreLE32(image.data() + *layout.certificateEntryAt, 0);
    StoreLE32(image.data() + *layout.certificateEntryAt + 4, 0);
    StoreLE32(image.data() + layout.checksumAt, PeChecksum(image, layout.checksumAt));
}

bool HasPeHeader(TStream& image) {
    constexpr auto kNewHeaderFieldAt = static_cast<int64_t>(kNewHeaderOffsetAt);
    const int64_t size = image.Size();
    std::array<uint8_t, kDosHeaderSize> dos{};
    image.SetPosition(0);
    const bool ok = [&] {
        if (size < static_cast<int64_t>(dos.size())) return false;
        image.ReadBuffer(dos.data(), static_cast<int32_t>(dos.size()));
        if (dos[0] != 'M' || dos[1] != 'Z') return false;
        const int64_t at = LoadLE32(dos.data() + kNewHeaderFieldAt);
        if (at < kNewHeaderFieldAt + 4 || at > size - 4) return false;
        std::array<uint8_t, 4> signature{};
        image.SetPosition(at);
        image.ReadBuffer(signature.data(), 4);
        return signature == std::array<uint8_t, 4>{'P', 'E', 0, 0};
    }();
    image.SetPosition(0);
    return ok;
}

}  // namespace kq::pack
