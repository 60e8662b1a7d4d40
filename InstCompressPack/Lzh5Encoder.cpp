// LH5 encoder: LZSS over the decoder's 8 KiB window with hash chains and
// lazy matching, then static canonical Huffman codes per block of up to
// 65535 symbols. Each block header sends the code-length code, the symbol
// code lengths (with runs of zeros) and the position code; a code that has a
// single symbol is sent as a stored count of 0 and that symbol, and then
// costs no bits per use.
//
// Matches never reach before the first input byte: the decoder's window
// starts as spaces, but not every -lh5- reader fills it the same way.
#include "InstCompressPack/Encoders.h"

#include <algorithm>
#include <array>
#include <queue>

#include "InstCompress/Lzh5Model.h"
#include "InstCompressPack/BitWriter.h"

namespace kq::pack {

namespace {

using lzh5::kLengthCodeCount;
using lzh5::kMaxCodeLength;
using lzh5::kMaxMatch;
using lzh5::kMinMatch;
using lzh5::kPositionCount;
using lzh5::kSymbolCount;
constexpr size_t kWindowSize = lzh5::kWindowSize;
constexpr size_t kMaxDistance = kWindowSize;  // position value 8191
// The count field allows 65535 (0 means 65536 to some readers only). A
// full buffer is split into halves while that codes smaller.
constexpr size_t kMaxBlockSymbols = 65535;
constexpr size_t kMinSplitBlock = 2048;
constexpr size_t kReportEvery = size_t{1} << 20;

// Match finder tuning: chain steps per search, a length that ends the search
// at once, and the length beyond which no lazy look-ahead is tried.
constexpr int kMaxChain = 512;
constexpr int kLazyChain = 256;
constexpr int kNiceLength = 256;
constexpr int kLazyLimit = 64;

constexpr int kHashBits = 15;
constexpr uint32_t kHashMask = (uint32_t{1} << kHashBits) - 1;

// Huffman code lengths of at most `limit` bits for the symbols with a
// non-zero frequency; fewer than two such symbols get no lengths at all
// (the caller sends a single-symbol code). Over-long codes are avoided by
// flattening the frequencies and building again.
void BuildCodeLengths(std::span<const uint32_t> frequencies, int limit, std::span<uint8_t> lengths) {
    const size_t n = frequencies.size();
    std::fill(lengths.begin(), lengths.end(), uint8_t{0});
    std::vector<uint64_t> weight(frequencies.begin(), frequencies.end());
    for (;;) {
        // Nodes 0..n-1 are leaves; parents follow.
        std::vector<int> parent(2 * n, -1);
        std::vector<uint64_t> nodeWeight(weight);
        nodeWeight.resize(2 * n);
        using Item = std::pair<uint64_t, int>;
        std::priority_queue<Item, std::vector<Item>, std::greater<>> heap;
        for (size_t s = 0; s < n; ++s) {
            if (weight[s] > 0) heap.emplace(weight[s], static_cast<int>(s));
        }
        if (heap.size() < 2) return;
        int next = static_cast<int>(n);
        while (heap.size() > 1) {
            const auto [wa, a] = heap.top();
            heap.pop();
            const auto [wb, b] = heap.top();
            heap.pop();
            parent[a] = parent[b] = next;
            nodeWeight[next] = wa + wb;
            heap.emplace(wa + wb, next++);
        }
        // Depths from the root down: parents have larger indices.
        std::vector<int> depth(2 * n, 0);
        int longest = 0;
        for (int node = next - 2; node >= 0; --node) {
            if (parent[node] < 0) continue;
            depth[node] = depth[parent[node]] + 1;
            if (node < static_cast<int>(n)) longest = std::max(longest, depth[node]);
        }
        if (longest <= limit) {
            for (size_t s = 0; s < n; ++s) {
                if (weight[s] > 0) lengths[s] = static_cast<uint8_t>(depth[s]);
            }
            return;
        }
        for (auto& w : weight) {
            if (w > 0) w = (w >> 1) | 1;
        }
    }
}

// Canonical code values as the decoder assigns them: shorter codes take
// the smaller values, equal lengths follow the symbol order.
void AssignCodes(std::span<const uint8_t> lengths, std::span<uint16_t> codes) {
    std::array<uint32_t, kMaxCodeLength + 2> count{};
    for (uint8_t len : lengths) ++count[len];
    std::array<uint32_t, kMaxCodeLength + 2> next{};
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        next[len + 1] = next[len] + (count[len] << (kMaxCodeLength - len));
    }
    for (size_t s = 0; s < lengths.size(); ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        codes[s] = static_cast<uint16_t>(next[len] >> (kMaxCodeLength - len));
        next[len] += uint32_t{1} << (kMaxCodeLength - len);
    }
}

int PositionClass(uint32_t value) {
    int bits = 0;
    while (value >> bits) ++bits;
    return bits;  // 0 for 0, else the bit length
}

struct Token {
    uint16_t symbol;    // literal byte or 253 + match length
    uint16_t position;  // match distance - 1
};

// A static Huffman code with its single-symbol form.
struct Code {
    std::vector<uint8_t> lengths;
    std::vector<uint16_t> codes;
    int single = -1;  // the only symbol, sent with no bits; -1 when there are several

    explicit Code(size_t symbols) : lengths(symbols, 0), codes(symbols, 0) {}

    void Build(std::span<const uint32_t> frequencies) {
        BuildCodeLengths(frequencies, kMaxCodeLength, lengths);
        single = -1;
        if (std::all_of(lengths.begin(), lengths.end(), [](uint8_t l) { return l == 0; })) {
            // One used symbol (or none): the lowest used one, else 0.
            const auto used = std::find_if(frequencies.begin(), frequencies.end(), [](uint32_t f) { return f > 0; });
            single = used == frequencies.end() ? 0 : static_cast<int>(used - frequencies.begin());
            return;
        }
        AssignCodes(lengths, codes);
    }

    void Put(BitWriter& out, int symbol) const {
        if (single < 0) out.Put(lengths[symbol], codes[symbol]);
    }
};

// Lengths of the code-length code or the position code: 0..6 in three bits,
// 7 and up as 111 followed by (length - 7) ones and a zero. After
// `specialIndex` lengths, a 2-bit count of the zero lengths that follow.
void PutAuxLengths(BitWriter& out, const Code& code, int countBits, int specialIndex) {
    if (code.single >= 0) {
        out.Put(countBits, 0);
        out.Put(countBits, static_cast<uint32_t>(code.single));
        return;
    }
    int count = static_cast<int>(code.lengths.size());
    while (count > 0 && code.lengths[count - 1] == 0) --count;
    out.Put(countBits, static_cast<uint32_t>(count));
    int i = 0;
    while (i < count) {
        const int len = code.lengths[i++];
        if (len <= 6) {
            out.Put(3, static_cast<uint32_t>(len));
        } else {
            out.Put(len - 3, (uint32_t{1} << (len - 3)) - 2);
        }
        if (i == specialIndex) {
            int zeros = 0;
            while (zeros < 3 && i < count && code.lengths[i] == 0) {
                ++zeros;
                ++i;
            }
            out.Put(2, static_cast<uint32_t>(zeros));
        }
    }
}

// The symbol code lengths as code-length symbols: 0 one zero, 1 + 4 bits
// 3..18 zeros, 2 + 9 bits 20..531 zeros, 3..18 the length minus 2.
struct LengthItem {
    uint8_t symbol;
    uint16_t extra;
};

std::vector<LengthItem> SymbolLengthItems(const std::vector<uint8_t>& lengths, int count) {
    std::vector<LengthItem> items;
    int i = 0;
    while (i < count) {
        if (lengths[i] != 0) {
            items.push_back({static_cast<uint8_t>(lengths[i] + 2), 0});
            ++i;
            continue;
        }
        int run = 0;
        while (i + run < count && lengths[i + run] == 0) ++run;
        i += run;
        while (run > 0) {
            if (run <= 2) {
                items.push_back({0, 0});
                --run;
            } else if (run <= 18) {
                items.push_back({1, static_cast<uint16_t>(run - 3)});
                run = 0;
            } else if (run == 19) {
                items.push_back({0, 0});
                items.push_back({1, 15});
                run = 0;
            } else {
                const int take = std::min(run, 531);
                items.push_back({2, static_cast<uint16_t>(take - 20)});
                run -= take;
            }
        }
    }
    return items;
}

void WriteBlock(BitWriter& out, std::span<const Token> tokens) {
    std::array<uint32_t, kSymbolCount> symbolFreq{};
    std::array<uint32_t, kPositionCount> positionFreq{};
    for (const Token& t : tokens) {
        ++symbolFreq[t.symbol];
        if (t.symbol >= 256) ++positionFreq[PositionClass(t.position)];
    }
    Code symbols(kSymbolCount), positions(kPositionCount), lengthCode(kLengthCodeCount);
    symbols.Build(symbolFreq);
    positions.Build(positionFreq);

    out.Put(16, static_cast<uint32_t>(tokens.size()));
    std::vector<LengthItem> items;
    int symbolLengthCount = 0;
    if (symbols.single < 0) {
        symbolLengthCount = kSymbolCount;
        while (symbols.lengths[symbolLengthCount - 1] == 0) --symbolLengthCount;
        items = SymbolLengthItems(symbols.lengths, symbolLengthCount);
        std::array<uint32_t, kLengthCodeCount> lengthFreq{};
        for (const LengthItem& item : items) ++lengthFreq[item.symbol];
        lengthCode.Build(lengthFreq);
    } else {
        lengthCode.single = 0;
    }
    PutAuxLengths(out, lengthCode, 5, 3);
    if (symbols.single >= 0) {
        out.Put(9, 0);
        out.Put(9, static_cast<uint32_t>(symbols.single));
    } else {
        out.Put(9, static_cast<uint32_t>(symbolLengthCount));
        for (const LengthItem& item : items) {
            lengthCode.Put(out, item.symbol);
            if (item.symbol == 1) out.Put(4, item.extra);
            if (item.symbol == 2) out.Put(9, item.extra);
        }
    }
    PutAuxLengths(out, positions, 4, -1);

    for (const Token& t : tokens) {
        symbols.Put(out, t.symbol);
        if (t.symbol < 256) continue;
        const int positionClass = PositionClass(t.position);
        positions.Put(out, positionClass);
        if (positionClass > 1) {
            out.Put(positionClass - 1, t.position - (uint32_t{1} << (positionClass - 1)));
        }
    }
}

// Bits that `tokens` take as one block.
size_t BlockBits(std::span<const Token> tokens, std::vector<uint8_t>& scratch) {
    scratch.clear();
    BitWriter counter(scratch);
    WriteBlock(counter, tokens);
    return counter.BitCount();
}

// Writes `tokens` as one block, or as two halves (each split further the
// same way) when that takes fewer bits: codes then follow changing data.
void WriteBlocks(BitWriter& out, std::span<const Token> tokens, std::vector<uint8_t>& scratch) {
    if (tokens.size() >= 2 * kMinSplitBlock) {
        const size_t half = tokens.size() / 2;
        const size_t whole = BlockBits(tokens, scratch);
        const size_t split = BlockBits(tokens.first(half), scratch) + BlockBits(tokens.subspan(half), scratch);
        if (split < whole) {
            WriteBlocks(out, tokens.first(half), scratch);
            WriteBlocks(out, tokens.subspan(half), scratch);
            return;
        }
    }
    WriteBlock(out, tokens);
}

// Hash chains over the last 8 KiB of input.
class MatchFinder {
public:
    explicit MatchFinder(std::span<const uint8_t> input) : in_(input), head_(size_t{1} << kHashBits, -1) {
        prev_.fill(-1);
    }

    struct Match {
        int length = 0;
        size_t distance = 0;
    };

    // Longest match for `pos` among earlier positions; `atLeast` is a
    // length it must beat. Call Insert(pos) afterwards.
    Match Find(size_t pos, int atLeast, int chain) const {
        Match best;
        const size_t available = in_.size() - pos;
        if (available < static_cast<size_t>(kMinMatch)) return best;
        const int maxLength = static_cast<int>(std::min<size_t>(available, kMaxMatch));
        int bestLength = std::max(atLeast, kMinMatch - 1);
        if (bestLength >= maxLength) return best;
        const uint8_t* const here = in_.data() + pos;
        int64_t candidate = head_[Hash(pos)];
        while (candidate >= 0 && chain-- > 0) {
            const size_t distance = pos - static_cast<size_t>(candidate);
            if (distance > kMaxDistance) break;
            const uint8_t* const there = in_.data() + candidate;
            if (there[bestLength] == here[bestLength] && there[0] == here[0] && there[1] == here[1]) {
                int length = 2;
                while (length < maxLength && there[length] == here[length]) ++length;
                if (length > bestLength) {
                    bestLength = length;
                    best = {length, distance};
                    if (length >= std::min(maxLength, kNiceLength)) break;
                }
            }
            candidate = prev_[static_cast<size_t>(candidate) & (kWindowSize - 1)];
        }
        return best;
    }

    void Insert(size_t pos) {
        if (in_.size() - pos < static_cast<size_t>(kMinMatch)) return;
        const uint32_t h = Hash(pos);
        prev_[pos & (kWindowSize - 1)] = head_[h];
        head_[h] = static_cast<int64_t>(pos);
    }

private:
    uint32_t Hash(size_t pos) const {
        const uint32_t v = uint32_t{in_[pos]} << 16 | uint32_t{in_[pos + 1]} << 8 | in_[pos + 2];
        return (v * 2654435761u) >> (32 - kHashBits) & kHashMask;
    }

    std::span<const uint8_t> in_;
    std::vector<int64_t> head_;
    std::array<int64_t, kWindowSize> prev_;
};

}  // namespace

std::vector<uint8_t> EncodeLzh5(std::span<const uint8_t> input, const EncodeProgress& progress) {
    std::vector<uint8_t> out;
    if (input.empty()) return out;
    out.reserve(input.size() / 2 + 64);
    BitWriter writer(out);
    MatchFinder finder(input);
    std::vector<Token> block;
    std::vector<uint8_t> scratch;
    block.reserve(kMaxBlockSymbols);
    auto emit = [&](Token t) {
        block.push_back(t);
        if (block.size() == kMaxBlockSymbols) {
            WriteBlocks(writer, block, scratch);
            block.clear();
        }
    };
    auto literal = [](uint8_t b) { return Token{b, 0}; };
    auto match = [](const MatchFinder::Match& m) {
        return Token{static_cast<uint16_t>(m.length + 256 - kMinMatch), static_cast<uint16_t>(m.distance - 1)};
    };

    // Lazy matching: a match found at pos is held back one byte in case
    // pos + 1 starts a longer one.
    size_t nextReport = kReportEvery;
    size_t pos = 0;
    MatchFinder::Match held;
    bool holding = false;
    while (pos < input.size()) {
        if (progress && pos >= nextReport) {
            progress(pos);
            nextReport = pos + kReportEvery;
        }
        MatchFinder::Match current;
        if (!holding || held.length < kLazyLimit) {
            const int chain = holding ? kLazyChain : kMaxChain;
            current = finder.Find(pos, holding ? held.length : 0, chain);
        }
        finder.Insert(pos);
        if (holding && current.length <= held.length) {
            // The held match starts at pos - 1 and covers pos already.
            emit(match(held));
            const size_t end = pos - 1 + static_cast<size_t>(held.length);
            for (++pos; pos < end; ++pos) finder.Insert(pos);
            holding = false;
            continue;
        }
        if (holding) emit(literal(input[pos - 1]));
        if (current.length >= kMinMatch) {
            held = current;
            holding = true;
        } else {
            emit(literal(input[pos]));
            holding = false;
        }
        ++pos;
    }
    if (holding) emit(match(held));
    if (!block.empty()) WriteBlocks(writer, block, scratch);
    writer.Finish();
    if (progress) progress(input.size());
    return out;
}

}  // namespace kq::pack
