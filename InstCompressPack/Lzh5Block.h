// LH5 blocks as the encoder builds them: tokens, their histogram, the static
// canonical Huffman codes of one block, its exact size in bits, and the
// choice of block boundaries by that size. Internal to the writer library.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "InstCompress/Lzh5Model.h"
#include "InstCompressPack/BitWriter.h"

namespace kq::pack::lzh5 {

using namespace kq::lzh5;  // the format

constexpr int kLiteralCount = 256;
constexpr size_t kMaxDistance = kWindowSize;  // position value 8191
// The count field allows 65535 (0 means 65536 to some readers only).
constexpr size_t kMaxBlockSymbols = 65535;
static_assert(PositionClass(kMaxDistance - 1) == kPositionCount - 1);

// A literal byte, or a match: symbol 253 + length, position distance - 1.
struct Token {
    uint16_t symbol;
    uint16_t position;
};

inline Token LiteralToken(uint8_t byte) {
    return {byte, 0};
}

inline Token MatchToken(uint32_t length, uint32_t distance) {
    assert(length >= kMinMatch && length <= kMaxMatch && distance >= 1 && distance <= kMaxDistance);
    return {static_cast<uint16_t>(SymbolOfLength(static_cast<int>(length))),
            static_cast<uint16_t>(distance - 1)};
}

inline uint32_t TokenLength(Token t) {
    return t.symbol < kLiteralCount ? 1 : static_cast<uint32_t>(LengthOfSymbol(t.symbol));
}

struct Histogram {
    std::array<uint32_t, kSymbolCount> symbols{};
    std::array<uint32_t, kPositionCount> positions{};

    void Add(Token t) {
        ++symbols[t.symbol];
        if (t.symbol >= kLiteralCount) ++positions[PositionClass(t.position)];
    }
    // Without a branch per token, and in four interleaved sets of counts, so
    // that runs of one symbol (or of literals, whose position 0 is counted
    // in class 0 and taken off again) do not wait on their own increments.
    void Add(std::span<const Token> tokens) {
        constexpr size_t kWays = 4;
        std::array<std::array<uint32_t, kSymbolCount>, kWays> symbolWays{};
        std::array<std::array<uint32_t, kPositionCount>, kWays> classWays{};
        auto count = [&](size_t way, Token t) {
            ++symbolWays[way][t.symbol];
            ++classWays[way][PositionClass(t.position)];
        };
        size_t k = 0;
        for (; k + kWays <= tokens.size(); k += kWays) {
            for (size_t way = 0; way < kWays; ++way) count(way, tokens[k + way]);
        }
        for (; k < tokens.size(); ++k) count(0, tokens[k]);
        uint32_t literals = 0;
        for (size_t w = 0; w < kWays; ++w) {
            for (int s = 0; s < kSymbolCount; ++s) symbols[s] += symbolWays[w][s];
            for (int s = 0; s < kLiteralCount; ++s) literals += symbolWays[w][s];
            for (int c = 0; c < kPositionCount; ++c) positions[c] += classWays[w][c];
        }
        positions[0] -= literals;
    }
};

// log2(x) in 1/65536ths of a bit, for x >= 1, in integer arithmetic only:
// the prices and block ends built on it are the same on every machine and
// compiler, so the same input codes to the same bytes everywhere.
constexpr int kLog2FractionBits = 16;
uint32_t Log2Fixed(uint32_t x);

// Huffman code lengths of at most `limit` bits for the symbols with a
// non-zero frequency; fewer than two such symbols get no lengths at all.
void BuildCodeLengths(std::span<const uint32_t> frequencies, int limit, std::span<uint8_t> lengths);

// A static Huffman code with its single-symbol form, which costs no bits
// per use.
template <size_t N>
struct Code {
    std::array<uint8_t, N> lengths{};
    std::array<uint16_t, N> codes{};
    int single = -1;  // the only symbol; -1 when there are several

    void Build(std::span<const uint32_t, N> frequencies);
    // Bits per use of `symbol` (0 for the single symbol).
    uint32_t Bits(int symbol) const { return single < 0 ? lengths[symbol] : 0; }
    void Put(BitWriter& out, int symbol) const {
        assert(single < 0 ? lengths[symbol] > 0 : symbol == single);
        if (single < 0) out.Put(lengths[symbol], codes[symbol]);
    }
};

// The codes of one block, built from its histogram, and its exact size.
class BlockPlan {
public:
    explicit BlockPlan(const Histogram& histogram);

    size_t Bits() const { return bits_; }
    const Code<kSymbolCount>& Symbols() const { return symbols_; }
    const Code<kPositionCount>& Positions() const { return positions_; }

    // Writes the block: `tokens` must be the ones the histogram counted.
    void Write(BitWriter& out, std::span<const Token> tokens) const;

private:
    template <typename Out>
    void PutHeader(Out& out, uint32_t count) const;

    Code<kSymbolCount> symbols_;
    Code<kPositionCount> positions_;
    Code<kLengthCodeCount> lengthCode_;
    int symbolLengthCount_ = 0;  // symbol lengths sent
    size_t bits_ = 0;
};

// Block ends (token indices, ascending, the last one tokens.size()) at
// multiples of `grain` tokens, the partition with the fewest estimated
// bits; no block exceeds kMaxBlockSymbols.
std::vector<size_t> ChooseBlockEnds(std::span<const Token> tokens, size_t grain);

// Writes `tokens` as the blocks ChooseBlockEnds picks.
void WriteBlocks(BitWriter& out, std::span<const Token> tokens, size_t grain);

}  // namespace kq::pack::lzh5
