// LZH1 encoder: LZSS with hash chains and one-step lazy matching over the
// decoder's 4096-byte ring, coded with the decoder's own adaptive tree.
//
// The window is kept linear: 4036 spaces (the ring's initial fill) followed
// by the input, so input byte i sits at window position 4036 + i and a match
// at distance D (1..4096) is sent as offset D - 1. Matches never reach in
// front of the spaces, so the stream decodes the same with coders that leave
// the ring's last 60 bytes unset.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "InstCompress/Lzh1Model.h"
#include "InstCompressPack/BitWriter.h"
#include "InstCompressPack/Encoders.h"

namespace kq::pack {

namespace {

using namespace lzh1;

constexpr size_t kReportEvery = size_t{1} << 20;
constexpr uint32_t kHashBits = 15;
constexpr uint32_t kMaxChain = 192;  // candidates tried per position
constexpr int64_t kNoPosition = -1;
constexpr uint32_t kShortMatch = 5;  // longer matches always beat literals

// Prefix code of each upper-6-bit offset value with its 6 low bits appended
// later; derived from the decoder's tables so both agree by construction.
struct OffsetCode {
    uint8_t prefix;
    uint8_t length;
};

consteval std::array<OffsetCode, 64> MakeOffsetCodes() {
    std::array<OffsetCode, 64> codes{};
    for (int b = 255; b >= 0; --b) {  // the first index of a value wins
        const uint8_t length = OffsetCodeLength[static_cast<size_t>(b)];
        codes[OffsetHigh[static_cast<size_t>(b)]] =
            OffsetCode{static_cast<uint8_t>(b >> (8 - length)), length};
    }
    return codes;
}

constexpr std::array<OffsetCode, 64> kOffsetCodes = MakeOffsetCodes();

class SymbolCoder {
public:
    explicit SymbolCoder(BitWriter& out) : out_(out) { tree_.ResetTree(); }

    void EncodeSymbol(uint32_t symbol) {
        // Walk up from the leaf; a slot's parity is the bit that leads to it.
        // Every slot on the way is distinct, so kSlots entries suffice.
        uint16_t path[kSlots];
        uint32_t depth = 0;
        for (uint32_t s = tree_.Parent[symbol + kSlots]; s != kRoot; s = tree_.Parent[s]) {
            path[depth++] = static_cast<uint16_t>(s);
        }
        std::reverse(path, path + depth);
        uint32_t code = 0;
        uint32_t length = 0;
        for (uint32_t i = 0; i < depth; ++i) {
            code = (code << 1) | (path[i] & 1u);
            if (++length == 32) {
                out_.Put(32, code);
                code = length = 0;
            }
        }
        out_.Put(length, code);
        tree_.UpdateTreeAlongPath(symbol, path, depth);
    }

    // Whether a match of `length` at `offset` codes shorter than its bytes
    // as literals under the present code; only short matches can lose.
    bool MatchPays(const uint8_t* bytes, uint32_t length, uint32_t offset) const {
        if (length > kShortMatch) return true;
        uint32_t literalBits = 0;
        for (uint32_t k = 0; k < length; ++k) literalBits += CodeLength(bytes[k]);
        return CodeLength(SymbolOfLength(length)) + kOffsetCodes[offset >> 6].length + 6u <= literalBits;
    }

    void EncodeOffset(uint32_t offset) {
        const OffsetCode& c = kOffsetCodes[offset >> 6];
        out_.Put(c.length + 6u, (uint32_t{c.prefix} << 6) | (offset & 0x3F));
    }

private:
    uint32_t CodeLength(uint32_t symbol) const {
        uint32_t length = 0;
        for (uint32_t s = tree_.Parent[symbol + kSlots]; s != kRoot; s = tree_.Parent[s]) ++length;
        return length;
    }

    BitWriter& out_;
    AdaptiveTree tree_;
};

class MatchFinder {
public:
    explicit MatchFinder(const std::vector<uint8_t>& window)
        : window_(window), head_(size_t{1} << kHashBits, kNoPosition), prev_(kRingSize, kNoPosition) {}

    struct Match {
        uint32_t length = 0;
        uint32_t distance = 0;
    };

    void Insert(int64_t pos) {
        if (static_cast<size_t>(pos) + kMinMatch > window_.size()) return;
        const uint32_t h = Hash(pos);
        prev_[static_cast<size_t>(pos) & kRingMask] = head_[h];
        head_[h] = pos;
    }

    // Longest match for `pos` (within `limit` bytes), then inserts `pos`.
    Match FindAndInsert(int64_t pos, uint32_t limit) {
        Match best;
        if (limit >= kMinMatch) {
            const uint8_t* const here = window_.data() + pos;
            const int64_t oldest = std::max<int64_t>(0, pos - int64_t{kRingSize});
            int64_t cand = head_[Hash(pos)];
            uint32_t tries = kMaxChain;
            uint32_t bestLength = kMinMatch - 1;
            while (cand >= oldest && tries-- > 0) {
                const uint8_t* const there = window_.data() + cand;
                if (there[bestLength] == here[bestLength] && there[0] == here[0]) {
                    const uint32_t n = CommonLength(there, here, limit);
                    if (n > bestLength) {
                        bestLength = n;
                        best = Match{n, static_cast<uint32_t>(pos - cand)};
                        if (n == limit) break;
                    }
                }
                cand = prev_[static_cast<size_t>(cand) & kRingMask];
            }
        }
        Insert(pos);
        return best;
    }

private:
    static uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
        uint32_t n = 0;
        for (; n + 8 <= limit; n += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y) {
                if constexpr (std::endian::native == std::endian::little) {
                    return n + static_cast<uint32_t>(std::countr_zero(x ^ y)) / 8;
                }
                break;
            }
        }
        while (n < limit && a[n] == b[n]) ++n;
        return n;
    }

    uint32_t Hash(int64_t pos) const {
        const uint8_t* p = window_.data() + pos;
        const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
        return (v * 2654435761u) >> (32 - kHashBits);
    }

    const std::vector<uint8_t>& window_;
    std::vector<int64_t> head_;
    std::vector<int64_t> prev_;
};

}  // namespace

std::vector<uint8_t> EncodeLzh1(std::span<const uint8_t> input, const EncodeProgress& progress) {
    std::vector<uint8_t> coded;
    if (input.empty()) return coded;
    coded.reserve(input.size() / 2 + 64);
    BitWriter out(coded);

    std::vector<uint8_t> window(kFirstWrite + input.size());
    std::memset(window.data(), ' ', kFirstWrite);
    std::memcpy(window.data() + kFirstWrite, input.data(), input.size());

    SymbolCoder coder(out);
    MatchFinder finder(window);
    for (int64_t p = 0; p < static_cast<int64_t>(kFirstWrite); ++p) finder.Insert(p);

    const auto end = static_cast<int64_t>(window.size());
    int64_t pos = kFirstWrite;
    auto limitAt = [end](int64_t p) { return static_cast<uint32_t>(std::min<int64_t>(kMaxMatch, end - p)); };
    MatchFinder::Match current = finder.FindAndInsert(pos, limitAt(pos));
    size_t nextReport = kReportEvery;
    while (pos < end) {
        if (progress && static_cast<size_t>(pos - kFirstWrite) >= nextReport) {
            progress(static_cast<size_t>(pos - kFirstWrite));
            nextReport += kReportEvery;
        }
        if (current.length >= kMinMatch) {
            MatchFinder::Match next;
            const bool lookedAhead = current.length < kMaxMatch && pos + 1 < end;
            if (lookedAhead) next = finder.FindAndInsert(pos + 1, limitAt(pos + 1));
            // A literal first pays when one byte on a longer match starts, or
            // when the current code makes this short match dearer than its bytes.
            if (next.length > current.length || !coder.MatchPays(&window[static_cast<size_t>(pos)], current.length,
                                                                 current.distance - 1)) {
                coder.EncodeSymbol(window[static_cast<size_t>(pos)]);
                ++pos;
                if (lookedAhead) {
                    current = next;
                } else if (pos < end) {
                    current = finder.FindAndInsert(pos, limitAt(pos));
                }
                continue;
            }
            coder.EncodeSymbol(SymbolOfLength(current.length));
            coder.EncodeOffset(current.distance - 1);
            for (int64_t p = pos + (lookedAhead ? 2 : 1); p < pos + static_cast<int64_t>(current.length); ++p) {
                finder.Insert(p);
            }
        } else {
            coder.EncodeSymbol(window[static_cast<size_t>(pos)]);
            current.length = 1;
        }
        pos += static_cast<int64_t>(current.length);
        if (pos < end) current = finder.FindAndInsert(pos, limitAt(pos));
    }
    out.Finish();
    if (progress) progress(input.size());
    return coded;
}

}  // namespace kq::pack
