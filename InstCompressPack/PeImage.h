// The few facts the setup writer needs about a Windows program image (PE32
// or PE32+): whether a file is one, where its checksum and its certificate
// table's directory entry lie, the checksum itself, and dropping an
// Authenticode signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kq {
class TStream;
}

namespace kq::pack {

// Whether `image` starts with an MZ header whose e_lfanew field points at a
// "PE\0\0" signature inside the file. Leaves the position at 0.
bool HasPeHeader(TStream& image);

enum class PeKind { Pe32, Pe32Plus };

struct PeLayout {
    PeKind kind;
    size_t checksumAt;  // file offset of the optional header's CheckSum
    std::optional<size_t>
        certificateEntryAt;          // file offset of the security directory entry, if the header has one
    uint32_t certificateOffset = 0;  // that entry: the table's file offset
    uint32_t certificateSize = 0;    // and its size; 0 when unsigned
};

// The layout of a PE image, or nothing when `image` is no PE32/PE32+ image.
std::optional<PeLayout> ReadPeLayout(const std::vector<uint8_t>& image);

// The image checksum: 16-bit words summed with end-around carry, the
// checksum field itself left out, plus the file size.
uint32_t PeChecksum(const std::vector<uint8_t>& image, size_t checksumAt);

// The same checksum over an image given in pieces, each at its file offset,
// in any order; for an image written as a stream.
class PeChecksumSum {
public:
    explicit PeChecksumSum(size_t checksumAt) : checksumAt_(checksumAt) {}
    void Add(const uint8_t* bytes, size_t count, uint64_t offset);
    // The checksum of an image of `size` bytes whose every byte was added.
    uint32_t Finish(uint64_t size) const;

private:
    uint64_t sum_ = 0;  // unfolded: a carry is the same as a fold at the end
    size_t checksumAt_;
};

// Drops the certificate table that ends a signed image, clears its
// directory entry and sets the checksum to match. Raises PackError when the
// table is not at the end of the image.
void StripCertificateTable(std::vector<uint8_t>& image, const PeLayout& layout);

}  // namespace kq::pack
