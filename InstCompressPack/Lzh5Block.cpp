// Each block header sends the code-length code, the symbol code lengths
// (with runs of zeros) and the position code; a code that has a single
// symbol is sent as a stored count of 0 and that symbol.
#include "InstCompressPack/Lzh5Block.h"

#include <algorithm>
#include <limits>

namespace kq::pack::lzh5 {

void BuildCodeLengths(std::span<const uint32_t> frequencies, int limit, std::span<uint8_t> lengths) {
    assert(lengths.size() == frequencies.size() && frequencies.size() <= kSymbolCount);
    std::fill(lengths.begin(), lengths.end(), uint8_t{0});
    // Leaves in ascending weight, the symbol in the low bits of the key.
    std::array<uint64_t, kSymbolCount> leaf{};
    size_t n = 0;
    for (size_t s = 0; s < frequencies.size(); ++s) {
        if (frequencies[s] > 0) leaf[n++] = uint64_t{frequencies[s]} << 16 | s;
    }
    if (n < 2) return;
    std::sort(leaf.begin(), leaf.begin() + static_cast<ptrdiff_t>(n));

    // Two queues: the sorted leaves, and the inner nodes, which are made in
    // ascending weight. Node k < n is leaf k; node n + j is inner node j.
    std::array<uint64_t, 2 * kSymbolCount> weight{};
    std::array<uint16_t, 2 * kSymbolCount> parent{};
    std::array<uint16_t, 2 * kSymbolCount> depth{};
    for (;;) {
        for (size_t k = 0; k < n; ++k) weight[k] = leaf[k] >> 16;
        size_t nextLeaf = 0;
        size_t nextInner = n;
        auto take = [&](size_t made) {
            if (nextLeaf < n && (nextInner == made || weight[nextLeaf] <= weight[nextInner]))
                return nextLeaf++;
            return nextInner++;
        };
        for (size_t made = n; made < 2 * n - 1; ++made) {
            const size_t a = take(made);
            const size_t b = take(made);
            weight[made] = weight[a] + weight[b];
            parent[a] = parent[b] = static_cast<uint16_t>(made);
        }
        // Parents come after their children: depths from the root down.
        depth[2 * n - 2] = 0;
        int longest = 0;
        for (size_t k = 2 * n - 2; k-- > 0;) {
            depth[k] = static_cast<uint16_t>(depth[parent[k]] + 1);
            if (k < n) longest = std::max<int>(longest, depth[k]);
        }
        if (longest <= limit) break;
        // Too deep: flatten the weights (order is kept) and build again.
        for (size_t k = 0; k < n; ++k) {
            const uint64_t w = leaf[k] >> 16;
            leaf[k] = ((w >> 1) | 1) << 16 | (leaf[k] & 0xFFFF);
        }
    }
    for (size_t k = 0; k < n; ++k) lengths[leaf[k] & 0xFFFF] = static_cast<uint8_t>(depth[k]);
}

namespace {

// Canonical code values as the decoder assigns them.
void AssignCodes(std::span<const uint8_t> lengths, std::span<uint16_t> codes) {
    CodeStarts next = CanonicalStarts(lengths);
    assert(next[kMaxCodeLength + 1] == uint32_t{1} << kMaxCodeLength);  // a complete code
    for (size_t s = 0; s < lengths.size(); ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        codes[s] = static_cast<uint16_t>(next[len] >> (kMaxCodeLength - len));
        next[len] += uint32_t{1} << (kMaxCodeLength - len);
    }
}

class BitCounter {
public:
    void Put(uint32_t n, uint32_t) { bits_ += n; }
    size_t Bits() const { return bits_; }

private:
    size_t bits_ = 0;
};

template <typename Out, size_t N>
void PutSymbol(Out& out, const Code<N>& code, int symbol) {
    if (code.single < 0) out.Put(code.lengths[symbol], code.codes[symbol]);
}

// Lengths of the code-length code or the position code: 0..6 in three bits,
// 7 and up as 111 followed by (length - 7) ones and a zero. After
// `specialIndex` lengths, a 2-bit count of the zero lengths that follow.
template <typename Out, size_t N>
void PutAuxLengths(Out& out, const Code<N>& code, int countBits, int specialIndex) {
    if (code.single >= 0) {
        out.Put(countBits, 0);
        out.Put(countBits, static_cast<uint32_t>(code.single));
        return;
    }
    int count = static_cast<int>(N);
    while (count > 0 && code.lengths[count - 1] == 0) --count;
    out.Put(countBits, static_cast<uint32_t>(count));
    int i = 0;
    while (i < count) {
        const int len = code.lengths[i++];
        if (len <= 6) {
            out.Put(kPlainLengthBits, static_cast<uint32_t>(len));
        } else {
            out.Put(len - 3, (uint32_t{1} << (len - 3)) - 2);
        }
        if (i == specialIndex) {
            int zeros = 0;
            while (zeros < 3 && i < count && code.lengths[i] == 0) {
                ++zeros;
                ++i;
            }
            out.Put(kSpecialZerosBits, static_cast<uint32_t>(zeros));
        }
    }
}

// The symbol code lengths as code-length symbols: 0 one zero, 1 + 4 bits
// 3..18 zeros, 2 + 9 bits 20..531 zeros, 3..18 the length minus 2.
struct LengthItem {
    uint8_t symbol;
    uint16_t extra;
};

struct LengthItems {
    std::array<LengthItem, kSymbolCount> items;
    size_t size = 0;

    void Push(uint8_t symbol, int extra) { items[size++] = {symbol, static_cast<uint16_t>(extra)}; }
};

template <size_t N>
void SymbolLengthItems(const std::array<uint8_t, N>& lengths, int count, LengthItems& out) {
    out.size = 0;
    int i = 0;
    while (i < count) {
        if (lengths[i] != 0) {
            out.Push(static_cast<uint8_t>(lengths[i] + 2), 0);
            ++i;
            continue;
        }
        int run = 0;
        while (i + run < count && lengths[i + run] == 0) ++run;
        i += run;
        while (run > 0) {
            if (run <= 2) {
                out.Push(0, 0);
                --run;
            } else if (run <= 18) {
                out.Push(1, run - kShortZeroRunBase);
                run = 0;
            } else if (run == 19) {
                out.Push(0, 0);
                out.Push(1, 15);
                run = 0;
            } else {
                const int take = std::min(run, 531);
                out.Push(2, take - kLongZeroRunBase);
                run -= take;
            }
        }
    }
}

template <typename Out>
void PutLengthItems(Out& out, const LengthItems& items, const Code<kLengthCodeCount>& lengthCode) {
    for (size_t k = 0; k < items.size; ++k) {
        const LengthItem item = items.items[k];
        PutSymbol(out, lengthCode, item.symbol);
        if (item.symbol == 1) out.Put(kShortZeroRunBits, item.extra);
        if (item.symbol == 2) out.Put(kLongZeroRunBits, item.extra);
    }
}

}  // namespace

template <size_t N>
void Code<N>::Build(std::span<const uint32_t, N> frequencies) {
    BuildCodeLengths(frequencies, kMaxCodeLength, lengths);
    single = -1;
    if (std::all_of(lengths.begin(), lengths.end(), [](uint8_t l) { return l == 0; })) {
        // One used symbol (or none): the lowest used one, else 0.
        const auto used =
            std::find_if(frequencies.begin(), frequencies.end(), [](uint32_t f) { return f > 0; });
        single = used == frequencies.end() ? 0 : static_cast<int>(used - frequencies.begin());
        return;
    }
    AssignCodes(lengths, codes);
}

template struct Code<kSymbolCount>;
template struct Code<kPositionCount>;
template struct Code<kLengthCodeCount>;

BlockPlan::BlockPlan(const Histogram& histogram) {
    symbols_.Build(histogram.symbols);
    positions_.Build(histogram.positions);
    if (symbols_.single < 0) {
        symbolLengthCount_ = kSymbolCount;
        while (symbols_.lengths[symbolLengthCount_ - 1] == 0) --symbolLengthCount_;
        LengthItems items;
        SymbolLengthItems(symbols_.lengths, symbolLengthCount_, items);
        std::array<uint32_t, kLengthCodeCount> lengthFrequencies{};
        for (size_t k = 0; k < items.size; ++k) ++lengthFrequencies[items.items[k].symbol];
        lengthCode_.Build(lengthFrequencies);
    } else {
        lengthCode_.single = 0;
    }

    BitCounter counter;
    PutHeader(counter, 0);
    bits_ = counter.Bits();
    for (int s = 0; s < kSymbolCount; ++s) bits_ += size_t{histogram.symbols[s]} * symbols_.Bits(s);
    for (int c = 0; c < kPositionCount; ++c) {
        bits_ += size_t{histogram.positions[c]} * (positions_.Bits(c) + PositionExtraBits(c));
    }
}

template <typename Out>
void BlockPlan::PutHeader(Out& out, uint32_t count) const {
    out.Put(kBlockCountBits, count);
    PutAuxLengths(out, lengthCode_, kLengthCodeCountBits, kLengthCodeSpecialIndex);
    if (symbols_.single >= 0) {
        out.Put(kSymbolCountBits, 0);
        out.Put(kSymbolCountBits, static_cast<uint32_t>(symbols_.single));
    } else {
        out.Put(kSymbolCountBits, static_cast<uint32_t>(symbolLengthCount_));
        LengthItems items;
        SymbolLengthItems(symbols_.lengths, symbolLengthCount_, items);
        PutLengthItems(out, items, lengthCode_);
    }
    PutAuxLengths(out, positions_, kPositionCountBits, -1);
}

void BlockPlan::Write(BitWriter& out, std::span<const Token> tokens) const {
    assert(!tokens.empty() && tokens.size() <= kMaxBlockSymbols);
    [[maybe_unused]] const size_t start = out.BitCount();
    // Each symbol's code, and each position class's code followed by room
    // for its extra bits (at most 16 + 12 bits): one or two puts a token.
    std::array<uint8_t, kSymbolCount> symbolBits;
    std::array<uint16_t, kSymbolCount> symbolCode;
    for (int s = 0; s < kSymbolCount; ++s) {
        symbolBits[s] = static_cast<uint8_t>(symbols_.Bits(s));
        symbolCode[s] = symbols_.single < 0 ? symbols_.codes[s] : uint16_t{0};
    }
    std::array<uint8_t, kPositionCount> classBits;
    std::array<uint32_t, kPositionCount> classCode, extraMask;
    for (int c = 0; c < kPositionCount; ++c) {
        const int extra = PositionExtraBits(c);
        classBits[c] = static_cast<uint8_t>(positions_.Bits(c) + static_cast<uint32_t>(extra));
        classCode[c] = uint32_t{positions_.single < 0 ? positions_.codes[c] : uint16_t{0}} << extra;
        extraMask[c] = (uint32_t{1} << extra) - 1;
    }
    static_assert(2 * kMaxCodeLength <= 32);
    out.PutRun(bits_, [&](BitWriter::Run& run) {
        PutHeader(run, static_cast<uint32_t>(tokens.size()));
        const auto put = [&](Token t) {
            run.Put(symbolBits[t.symbol], symbolCode[t.symbol]);
            if (t.symbol < kLiteralCount) return;
            const int c = PositionClass(t.position);
            run.Put(classBits[c], classCode[c] | (t.position & extraMask[c]));
        };
        // Two literals, the most common pair where little matches, in one put.
        size_t k = 0;
        while (k + 2 <= tokens.size()) {
            const Token a = tokens[k], b = tokens[k + 1];
            if ((a.symbol | b.symbol) < kLiteralCount) {
                run.Put(uint32_t{symbolBits[a.symbol]} + symbolBits[b.symbol],
                        uint32_t{symbolCode[a.symbol]} << symbolBits[b.symbol] | symbolCode[b.symbol]);
                k += 2;
            } else {
                put(a);
                ++k;
            }
        }
        if (k < tokens.size()) put(tokens[k]);
    });
    assert(out.BitCount() - start == bits_);
}

namespace {

// The block-end estimates count in 1/2048ths of a bit: x log2 x of a block's
// counts then fits 32 bits.
constexpr int kEstimateFractionBits = 11;
constexpr int64_t kEstimateBit = int64_t{1} << kEstimateFractionBits;
static_assert(uint64_t{kMaxBlockSymbols} * 16 * kEstimateBit <= UINT32_MAX);

// x log2 x for the counts of one block.
const std::array<uint32_t, kMaxBlockSymbols + 1>& CountLogTable() {
    static const auto table = [] {
        std::array<uint32_t, kMaxBlockSymbols + 1> t{};
        constexpr int drop = kLog2FractionBits - kEstimateFractionBits;
        for (uint32_t x = 1; x < t.size(); ++x) {
            t[x] = static_cast<uint32_t>((uint64_t{x} * Log2Fixed(x) + (uint64_t{1} << (drop - 1))) >> drop);
        }
        return t;
    }();
    return table;
}

}  // namespace

uint32_t Log2Fixed(uint32_t x) {
    assert(x > 0);
    const int whole = std::bit_width(x) - 1;
    // x as a mantissa in [1, 2) with 31 fraction bits; each squaring yields
    // the next bit of its logarithm.
    uint64_t m = uint64_t{x} << (31 - whole);
    uint32_t result = static_cast<uint32_t>(whole) << kLog2FractionBits;
    for (int bit = kLog2FractionBits - 1; bit >= 0; --bit) {
        m = (m * m) >> 31;
        if (m >= uint64_t{1} << 32) {
            m >>= 1;
            result |= 1u << bit;
        }
    }
    return result;
}

namespace {

// The block ends ChooseBlockEnds picks, and the histogram of each block.
struct Blocks {
    std::vector<size_t> ends;
    std::vector<Histogram> counts;
};

Blocks ChooseBlocks(std::span<const Token> tokens, size_t grain) {
    assert(grain > 0 && grain <= kMaxBlockSymbols);
    Blocks blocks;
    const size_t n = tokens.size();
    if (n == 0) return blocks;
    // prefix[k]: the histogram of the first k grains.
    const size_t grains = (n + grain - 1) / grain;
    std::vector<Histogram> prefix(grains + 1);
    for (size_t k = 0; k < grains; ++k) {
        prefix[k + 1] = prefix[k];
        const size_t from = k * grain;
        prefix[k + 1].Add(tokens.subspan(from, std::min(grain, n - from)));
    }
    auto end = [&](size_t k) { return std::min(k * grain, n); };
    // The symbols and position classes each grain uses, and how often; a
    // class c counts as kSymbolCount + c.
    struct Use {
        uint16_t what;
        uint16_t count;
    };
    static_assert(kMaxBlockSymbols <= UINT16_MAX && kSymbolCount + kPositionCount <= UINT16_MAX);
    std::vector<Use> uses;
    std::vector<size_t> firstUse(grains + 1), firstClassUse(grains);
    for (size_t k = 0; k < grains; ++k) {
        firstUse[k] = uses.size();
        for (int s = 0; s < kSymbolCount; ++s) {
            const uint32_t f = prefix[k + 1].symbols[s] - prefix[k].symbols[s];
            if (f > 0) uses.push_back({static_cast<uint16_t>(s), static_cast<uint16_t>(f)});
        }
        firstClassUse[k] = uses.size();
        for (int c = 0; c < kPositionCount; ++c) {
            const uint32_t f = prefix[k + 1].positions[c] - prefix[k].positions[c];
            if (f > 0) uses.push_back({static_cast<uint16_t>(kSymbolCount + c), static_cast<uint16_t>(f)});
        }
    }
    firstUse[grains] = uses.size();
    // best[j]: the fewest bits for the first j grains; cut[j]: where the
    // last of their blocks starts. The estimated bits of grains [i, j) as
    // one block, built up one grain at a time as i goes down: the entropy
    // of its symbols and position classes (n log2 n less the sum of
    // f log2 f over their counts f), the extra bits, and a header of a few
    // bits per used symbol.
    const auto& xlogx = CountLogTable();
    std::vector<int64_t> best(grains + 1, 0);
    std::vector<size_t> cut(grains + 1, 0);
    std::array<uint32_t, kSymbolCount + kPositionCount> counts;
    for (size_t j = 1; j <= grains; ++j) {
        best[j] = std::numeric_limits<int64_t>::max();
        counts.fill(0);
        int64_t symbolSum = 0, classSum = 0, extra = 0;
        uint32_t used = 0, matches = 0;
        auto add = [&](size_t from, size_t to) {
            int64_t sum = 0;
            for (size_t k = from; k < to; ++k) {
                uint32_t& c = counts[uses[k].what];
                sum += int64_t{xlogx[c + uses[k].count]} - xlogx[c];
                used += c == 0;
                c += uses[k].count;
            }
            return sum;
        };
        for (size_t i = j; i-- > 0 && end(j) - end(i) <= kMaxBlockSymbols;) {
            symbolSum += add(firstUse[i], firstClassUse[i]);
            classSum += add(firstClassUse[i], firstUse[i + 1]);
            for (size_t k = firstClassUse[i]; k < firstUse[i + 1]; ++k) {
                matches += uses[k].count;
                extra += int64_t{uses[k].count} * PositionExtraBits(uses[k].what - kSymbolCount);
            }
            const int64_t plain = 4 * int64_t{used} + 100 + extra;
            const int64_t estimate = int64_t{xlogx[end(j) - end(i)]} - symbolSum + xlogx[matches] - classSum +
                                     plain * kEstimateBit;
            const int64_t bits = best[i] + estimate;
            if (bits < best[j]) {
                best[j] = bits;
                cut[j] = i;
            }
        }
        assert(cut[j] < j);
    }
    for (size_t j = grains; j > 0; j = cut[j]) {
        blocks.ends.push_back(end(j));
        Histogram& h = blocks.counts.emplace_back();
        const Histogram &to = prefix[j], &from = prefix[cut[j]];
        for (int s = 0; s < kSymbolCount; ++s) h.symbols[s] = to.symbols[s] - from.symbols[s];
        for (int c = 0; c < kPositionCount; ++c) h.positions[c] = to.positions[c] - from.positions[c];
    }
    std::reverse(blocks.ends.begin(), blocks.ends.end());
    std::reverse(blocks.counts.begin(), blocks.counts.end());
    return blocks;
}

}  // namespace

std::vector<size_t> ChooseBlockEnds(std::span<const Token> tokens, size_t grain) {
    return ChooseBlocks(tokens, grain).ends;
}

void WriteBlocks(BitWriter& out, std::span<const Token> tokens, size_t grain) {
    const Blocks blocks = ChooseBlocks(tokens, grain);
    size_t from = 0;
    for (size_t b = 0; b < blocks.ends.size(); ++b) {
        const size_t to = blocks.ends[b];
        BlockPlan(blocks.counts[b]).Write(out, tokens.subspan(from, to - from));
        from = to;
    }
}

}  // namespace kq::pack::lzh5
