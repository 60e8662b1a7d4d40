// The format of the LZH5 stream (LHA's -lh5-), shared by the decoder and
// the encoder in the writer library so that both sides agree on every field.
//
// A stream is a sequence of blocks, each a header and then its symbols:
//   count        kBlockCountBits: symbols in the block (0 stands for 65536)
//   length code  kLengthCodeCountBits count, then that many lengths (below);
//                after the first kLengthCodeSpecialIndex of them, a
//                kSpecialZerosBits count of zero lengths
//   symbol code  kSymbolCountBits count, then the lengths coded with the
//                length code: 0 one zero, 1 kShortZeroRunBits + 3 zeros,
//                2 kLongZeroRunBits + 20 zeros, 3..18 a length of 1..16
//   position code kPositionCountBits count, then that many lengths (below)
// A count of 0 sends a single symbol in the same width instead: that code
// then costs no bits per use. The lengths of the length and position codes
// are 0..6 in kPlainLengthBits bits; 7 and up are 111 followed by one 1 bit
// per step above 7 and a closing 0.
//
// Symbols 0..255 are literals, 256..509 matches of 3..256 bytes. A match's
// position class c (0..13) follows: class 0 and 1 are the position values 0
// and 1, class c >= 2 takes c - 1 more bits as the low bits of
// 2^(c - 1) + bits. Position value p copies from p + 1 bytes back in the
// 8 KiB window, which starts out as spaces.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <span>

namespace kq::lzh5 {

inline constexpr int kSymbolCount = 510;     // 256 literals, match lengths 3..256
inline constexpr int kPositionCount = 14;    // position classes 0..13
inline constexpr int kLengthCodeCount = 19;  // zero runs 0..2, lengths 1..16 as 3..18
inline constexpr int kMaxCodeLength = 16;
inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 256;
inline constexpr uint32_t kWindowSize = 8192;
inline constexpr uint32_t kWindowMask = kWindowSize - 1;
inline constexpr uint8_t kWindowFill = ' ';

// Field widths of the block header.
inline constexpr int kBlockCountBits = 16;
inline constexpr int kLengthCodeCountBits = 5;
inline constexpr int kLengthCodeSpecialIndex = 3;
inline constexpr int kSpecialZerosBits = 2;
inline constexpr int kSymbolCountBits = 9;
inline constexpr int kPositionCountBits = 4;
inline constexpr int kPlainLengthBits = 3;
inline constexpr int kShortZeroRunBits = 4;  // length-code symbol 1: 3..18 zeros
inline constexpr int kShortZeroRunBase = 3;
inline constexpr int kLongZeroRunBits = 9;  // length-code symbol 2: 20..531 zeros
inline constexpr int kLongZeroRunBase = 20;

// Widths of the decoder's first lookup, by code.
inline constexpr int kSymbolTableBits = 12;
inline constexpr int kAuxTableBits = 8;

static_assert(kSymbolCount == 256 + kMaxMatch - kMinMatch + 1);
static_assert(kLengthCodeCount < (1 << kLengthCodeCountBits) && kPositionCount < (1 << kPositionCountBits));
static_assert(kSymbolCount < (1 << kSymbolCountBits));

inline constexpr int LengthOfSymbol(int symbol) {
    return symbol - 256 + kMinMatch;
}
inline constexpr int SymbolOfLength(int length) {
    return length + 256 - kMinMatch;
}

// The class of position value p: 0 for 0, else its bit length. Taken from
// 2p + 1, which is never 0 and has one bit more, so that no test for 0 is
// needed (a literal's token, position 0, is counted in class 0 this way).
inline constexpr int PositionClass(uint32_t p) {
    assert(p < kWindowSize);
    return static_cast<int>(std::bit_width((p << 1) | 1u)) - 1;
}
// Class c's first position value and its count of further bits.
inline constexpr uint32_t PositionBase(int c) {
    return c <= 1 ? static_cast<uint32_t>(c) : uint32_t{1} << (c - 1);
}
inline constexpr int PositionExtraBits(int c) {
    return c <= 1 ? 0 : c - 1;
}
static_assert(2 * PositionBase(kPositionCount - 1) == kWindowSize,
              "the last class reaches across the window");
inline constexpr int kMaxPositionExtraBits = PositionExtraBits(kPositionCount - 1);
static_assert(kMaxPositionExtraBits == 12);

// Canonical code assignment: shorter codes take the smaller values, equal
// lengths follow the symbol order. starts[len] (len 1..16) is where the
// codes of that length begin, left-aligned in the 16-bit code space, and
// starts[17] is the space all codes take: exactly 1 << 16 for a complete
// code, 0 when every length is 0. Every length must be 0..16.
using CodeStarts = std::array<uint32_t, kMaxCodeLength + 2>;

inline CodeStarts CanonicalStarts(std::span<const uint8_t> lengths) {
    std::array<uint32_t, kMaxCodeLength + 1> count{};
    for (const uint8_t len : lengths) {
        assert(len <= kMaxCodeLength);
        ++count[len];
    }
    CodeStarts starts{};
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        starts[len + 1] = starts[len] + (count[len] << (kMaxCodeLength - len));
    }
    return starts;
}

}  // namespace kq::lzh5
