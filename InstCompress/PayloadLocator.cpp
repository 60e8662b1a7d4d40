#include "InstCompress/PayloadLocator.h"

#include <algorithm>
#include <array>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Stream.h"

namespace kq {

// The scan reads this constant at run time (see MarkerText), so the image
// holds the marker text exactly once, here, whatever the optimiser does.
__attribute__((used))
const char kPayloadMarker[12] = {'K', 'Q', 'I', '_', 'S', 'I', 'Z', 'E', 'X', 'X', 'X', 'X'};

namespace {

// The marker's bytes, through a pointer the optimiser cannot see through: a
// scan folded into immediate compares would drop the constant from the image
// or put a second copy of the text into the code.
const uint8_t* MarkerText() {
    const char* volatile text = kPayloadMarker;
    return reinterpret_cast<const uint8_t*>(text);
}

}  // namespace

// Scans 16384-byte chunks that overlap by the marker's length, so that a
// marker straddling two chunks is found in the second; the first marker
// found decides.
std::optional<int64_t> FindMarkerField(TStream& image) {
    std::vector<uint8_t> buffer(kLocatorChunk);
    const uint8_t* marker = MarkerText();
    int64_t base = 0;
    image.SetPosition(0);
    int32_t n = image.Read(buffer.data(), kLocatorChunk);
    while (n > kMarkerLength) {
        const auto end = buffer.begin() + n;
        const auto hit = std::search(buffer.begin(), end, marker, marker + kMarkerLength);
        if (hit != end) return base + (hit - buffer.begin()) + kMarkerLength;
        base += n - kMarkerLength;
        image.SetPosition(base);
        n = image.Read(buffer.data(), kLocatorChunk);
    }
    return std::nullopt;
}

int32_t LocatePayload(TStream& image) {
    using Verdict = PayloadFields::Verdict;
    const PayloadFields fields = ReadPayloadFields(image);
    if (fields.verdict == Verdict::NoMarker || fields.verdict == Verdict::Unpatched) return 0;
    // A zero or negative field comes back as it is; an offset past the
    // file's last byte is no payload.
    return fields.offset < image.Size() ? static_cast<int32_t>(fields.offset) : 0;
}

int32_t LocatePayload(const std::string& imagePath) {
    TFileStream image(imagePath, FileMode::OpenReadShared);
    return LocatePayload(image);
}

PayloadFields ReadPayloadFields(TStream& image) {
    using Verdict = PayloadFields::Verdict;
    PayloadFields fields;
    const int64_t size = image.Size();
    const auto at = FindMarkerField(image);
    if (!at || *at + kMarkerFieldLength > size) return fields;
    std::array<uint8_t, kMarkerFieldLength> field{};
    image.SetPosition(*at);
    image.ReadBuffer(field.data(), kMarkerFieldLength);

    fields.verdict = Verdict::Unpatched;
    if (field[0] == kUnpatchedFieldByte) return fields;
    fields.verdict = Verdict::NoOffset;
    fields.offset = static_cast<int32_t>(LoadLE32(field.data()));
    if (fields.offset <= 0) return fields;
    fields.verdict = Verdict::OffsetOutside;
    const PayloadLayout layout{fields.offset};
    if (!layout.HasSizeField(size)) return fields;
    const auto announced = layout.ReadSize(image);
    if (!announced) return fields;

    fields.verdict = Verdict::ArchiveCut;
    fields.announced = *announced;
    fields.present = layout.Present(size);
    if (!layout.Holds(fields.announced, size)) return fields;
    fields.verdict = Verdict::Complete;
    return fields;
}

std::optional<int32_t> PayloadLayout::ReadSize(TStream& image) const {
    std::array<uint8_t, kSizeFieldLength> field{};
    image.SetPosition(offset);
    if (image.Read(field.data(), kSizeFieldLength) != kSizeFieldLength) return std::nullopt;
    return static_cast<int32_t>(LoadLE32(field.data()));
}

std::optional<PayloadArchive> PayloadFields::Archive() const {
    if (verdict != Verdict::Complete) return std::nullopt;
    return PayloadArchive{PayloadLayout{offset}.ArchiveStart(), static_cast<int32_t>(announced)};
}

std::optional<PayloadArchive> LocatePayloadArchive(TStream& image) {
    return ReadPayloadFields(image).Archive();
}

}  // namespace kq
