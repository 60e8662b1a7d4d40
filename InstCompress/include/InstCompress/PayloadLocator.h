// Finds the payload appended to a setup image: the marker "KQI_SIZE" inside
// the image is followed by a 4-byte field holding the payload's file offset;
// at that offset a 4-byte size precedes the archive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kq {

class TStream;

// The marker literal with its field. Unpatched, the field starts with 'X'.
// This one constant is the only place the marker text lives in the image.
extern const char kPayloadMarker[12];
inline constexpr int kMarkerLength = 8;
inline constexpr int kMarkerFieldLength = 4;
inline constexpr int kLocatorChunk = 16384;
// A field starting with this byte is unpatched, whatever the other three
// hold: no patched offset may have it as its low byte.
inline constexpr uint8_t kUnpatchedFieldByte = 'X';

// Payload offset recorded in the image, or 0 when there is no usable payload
// (no marker, unpatched, zero, or not smaller than the file size). A negative
// field comes back unchanged.
int32_t LocatePayload(TStream& image);
// Opens the file shared for reading; open failures raise EFileOpenError.
int32_t LocatePayload(const std::string& imagePath);

// Where the marker's field lies in the image, if there is a marker.
std::optional<int64_t> FindMarkerField(TStream& image);

struct PayloadArchive {
    int64_t start;   // file offset of the archive's first byte
    int32_t length;  // the payload's size field
};

// The payload at the offset the marker's field gives: a 4-byte little-endian
// size, then the archive. The launcher, the readers and the setup writer all
// take the layout from here.
struct PayloadLayout {
    static constexpr int kSizeFieldLength = 4;
    int64_t offset;  // the size field's file offset

    int64_t ArchiveStart() const noexcept { return offset + kSizeFieldLength; }
    // Whether an image of this size holds the whole size field.
    bool HasSizeField(int64_t imageSize) const noexcept { return ArchiveStart() <= imageSize; }
    // The image's bytes after the size field.
    int64_t Present(int64_t imageSize) const noexcept { return imageSize - ArchiveStart(); }
    // Whether the size field's value names an archive that lies whole in the image.
    bool Holds(int64_t announced, int64_t imageSize) const noexcept {
        return announced >= 0 && announced <= Present(imageSize);
    }
    // The size field's value, leaving the image just after it; nothing when
    // the image ends first.
    std::optional<int32_t> ReadSize(TStream& image) const;
};

// What the fields of a setup image say about its payload, for callers that
// explain why an image has none: each verdict past the first fills in more.
struct PayloadFields {
    enum class Verdict {
        NoMarker,       // no marker, or its field cut off by the end of the file
        Unpatched,      // the field starts with kUnpatchedFieldByte
        NoOffset,       // the field holds 0 or less
        OffsetOutside,  // no 4-byte size field at the offset: offset + 4 > file size
        ArchiveCut,     // the size field is negative or claims more than follows it
        Complete,       // the archive lies whole in the file
    };
    Verdict verdict = Verdict::NoMarker;
    int64_t offset = 0;     // from NoOffset on: the field's value
    int64_t announced = 0;  // from ArchiveCut on: the size field's value
    int64_t present = 0;    // from ArchiveCut on: the bytes after the size field

    // The archive, when the verdict is Complete.
    std::optional<PayloadArchive> Archive() const;
};
PayloadFields ReadPayloadFields(TStream& image);

// The archive of a patched setup image whose payload is complete.
std::optional<PayloadArchive> LocatePayloadArchive(TStream& image);

}  // namespace kq
