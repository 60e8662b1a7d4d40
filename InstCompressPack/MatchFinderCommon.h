// What the LZ coders' match finders (LZH1 and LZH5) share: the match
// record, the hashes, the length of a match and the history slots of a
// window. Internal to the writer library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kq::pack {

struct Match {
    uint32_t length = 0;
    uint32_t distance = 0;
};

// The history of a window that reaches `Reach` bytes back, kept per
// position in a slot of its own: twice the reach, so that the slot of a
// position and of the one a window back differ.
template <size_t Reach>
struct WindowHistory {
    static_assert(std::has_single_bit(Reach));
    static constexpr size_t kSlots = 2 * Reach;
    static constexpr size_t kSlotMask = kSlots - 1;

    template <typename Position>
    static constexpr size_t Slot(Position pos) {
        return static_cast<size_t>(pos) & kSlotMask;
    }
};

// No position: far enough below any position that it is always beyond
// the window.
template <typename Position>
inline constexpr Position kNoPosition = std::numeric_limits<Position>::min() / 2;

// The top `bits` bits of v times 2^32 / phi.
constexpr uint32_t MultiplyHash(uint32_t v, int bits) {
    return (v * 0x9E3779B1u) >> (32 - bits);
}

// Three bytes, the first in the low bits.
inline uint32_t Hash3(const uint8_t* p, int bits) {
    return MultiplyHash(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16, bits);
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// How many bytes from `length` on a and b have in common, up to `limit`;
// the first `length` must be equal.
inline uint32_t ExtendMatch(const uint8_t* a, const uint8_t* b, uint32_t length, uint32_t limit) {
    if constexpr (std::endian::native == std::endian::little) {
        while (length + 8 <= limit) {
            const uint64_t differ = Load64(a + length) ^ Load64(b + length);
            if (differ != 0) return length + static_cast<uint32_t>(std::countr_zero(differ) / 8);
            length += 8;
        }
    }
    while (length < limit && a[length] == b[length]) ++length;
    return length;
}

}  // namespace kq::pack
