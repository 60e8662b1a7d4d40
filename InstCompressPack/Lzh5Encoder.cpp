// LH5 encoder: LZSS over the decoder's 8 KiB window, then static canonical
// Huffman codes per block of up to 65535 symbols, block ends chosen by size.
//
// The default parse is lazy matching over hash chains. The best parse finds
// every useful match with binary trees and then chooses, by dynamic
// programming, the cheapest path through the segment priced by the symbol
// counts of the previous parse (parse, count, parse again), first for the
// whole segment, then for each block chosen from it.
//
// Matches never reach before the first input byte: the decoder's window
// starts as spaces, but not every -lh5- reader fills it the same way.
#include <algorithm>

#include "InstCompressPack/BinaryTreeMatchFinder.h"
#include "InstCompressPack/HashChainMatchFinder.h"
#include "InstCompressPack/Lzh5Block.h"
#include "InstCompressPack/Lzh5Segment.h"

namespace kq::pack {

namespace lzh5 {

namespace {

// ---- Default: lazy matching over hash chains ----

struct LazyParams {
    int maxChain;         // candidates looked at per search
    uint32_t goodLength;  // a held match this long quarters the next search
    uint32_t niceLength;  // a match this long ends the search
    uint32_t lazyLimit;   // a held match this long is taken without a look ahead
};

constexpr LazyParams kDefaultParams{128, 16, 128, 32};

// Lazy matching: a match found at pos is held back one byte in case
// pos + 1 starts a longer one.
void LazyParse(std::span<const uint8_t> data, size_t start, const LazyParams& params,
               std::vector<Token>& tokens) {
    thread_local HashChains::Tables tables;
    HashChains chains(data, tables);
    const size_t end = data.size();
    chains.Insert(start - std::min<size_t>(start, kWindowSize), start);

    size_t pos = start;
    while (pos < end) {
        // No match held: the most common case on data that does not shrink.
        Match held = chains.FindAndInsert(pos, 0, params.maxChain, params.niceLength);
        if (held.length < kMinMatch) {
            tokens.push_back(LiteralToken(data[pos]));
            ++pos;
            continue;
        }
        // Held from pos - 1 while each next position starts a longer one.
        for (++pos;; ++pos) {
            if (pos == end) {
                tokens.push_back(MatchToken(held.length, held.distance));
                return;
            }
            Match current;
            if (held.length < params.lazyLimit) {
                const int chain = held.length >= params.goodLength ? params.maxChain / 4 : params.maxChain;
                current = chains.FindAndInsert(pos, held.length, chain, params.niceLength);
            } else {
                chains.Insert(pos, pos + 1);
            }
            if (current.length <= held.length) break;
            tokens.push_back(LiteralToken(data[pos - 1]));
            held = current;
        }
        // The held match starts at pos - 1 and covers pos already.
        tokens.push_back(MatchToken(held.length, held.distance));
        const size_t matchEnd = pos - 1 + held.length;
        chains.Insert(pos + 1, matchEnd);
        pos = matchEnd;
    }
}

// ---- Best: every useful match, then the cheapest parse ----

// Parses priced by the previous one: for the whole segment, then for each
// block chosen from it, twice by the shares of its symbols and once by the
// code lengths of its smallest parse so far, where the block keeps its
// smallest parse. More passes gain next to nothing.
constexpr int kSegmentPasses = 1;
constexpr int kBlockSharePasses = 2;

// Prices in sixteenths of a bit per literal or length symbol and per
// distance, from the counts of a parse: -log2 of each symbol's share, and
// of each position class's plus its extra bits. Shares price the parse
// more smoothly than the code lengths built from them, which leaves it
// smaller; a last parse priced by a block's own code lengths then finds a
// little more. A symbol or class the parse leaves out costs a bit more
// than one seen once.
constexpr int kPriceFractionBits = 4;

struct CostModel {
    std::array<uint32_t, kSymbolCount> symbol{};
    std::array<uint32_t, kMaxDistance + 1> distance{};

    explicit CostModel(const Histogram& h) {
        const auto price = [](uint32_t count, uint32_t total) {
            constexpr int drop = kLog2FractionBits - kPriceFractionBits;
            const uint32_t bits = count > 0 ? Log2Fixed(total) - Log2Fixed(count)
                                            : Log2Fixed(total + 1) + (1u << kLog2FractionBits);
            return (bits + (1u << (drop - 1))) >> drop;
        };
        uint32_t symbols = 0;
        for (const uint32_t f : h.symbols) symbols += f;
        for (int s = 0; s < kSymbolCount; ++s) symbol[s] = price(h.symbols[s], symbols);
        uint32_t positions = 0;
        for (const uint32_t f : h.positions) positions += f;
        std::array<uint32_t, kPositionCount> classCost{};
        for (int c = 0; c < kPositionCount; ++c) {
            classCost[c] = price(h.positions[c], positions) +
                           (static_cast<uint32_t>(PositionExtraBits(c)) << kPriceFractionBits);
        }
        for (uint32_t d = 1; d <= kMaxDistance; ++d) distance[d] = classCost[PositionClass(d - 1)];
    }

    // The code lengths of `plan`, built from `h`, where its codes have the
    // symbol or class; the shares of `h` elsewhere.
    CostModel(const Histogram& h, const BlockPlan& plan) : CostModel(h) {
        const Code<kSymbolCount>& symbols = plan.Symbols();
        for (int s = 0; s < kSymbolCount; ++s) {
            if (symbols.single < 0 ? symbols.lengths[s] > 0 : s == symbols.single) {
                symbol[s] = symbols.Bits(s) << kPriceFractionBits;
            }
        }
        const Code<kPositionCount>& positions = plan.Positions();
        std::array<uint32_t, kPositionCount> classCost{};
        for (int c = 0; c < kPositionCount; ++c) {
            const bool coded = positions.single < 0 ? positions.lengths[c] > 0 : c == positions.single;
            classCost[c] = coded ? (positions.Bits(c) + static_cast<uint32_t>(PositionExtraBits(c)))
                                       << kPriceFractionBits
                                 : distance[PositionBase(c) + 1];
        }
        for (uint32_t d = 1; d <= kMaxDistance; ++d) distance[d] = classCost[PositionClass(d - 1)];
    }
};

// The cheapest tokens for positions [from, to) of the segment under
// `costs`; matches are cut short at `to`.
void CheapestParse(std::span<const uint8_t> data, size_t start, const MatchTable& table, size_t from,
                   size_t to, const CostModel& costs, std::vector<Token>& tokens) {
    const size_t n = to - from;
    // cost[i]: the price from position from + i to the end; choice[i]: the
    // length and distance taken there (length 1: a literal).
    std::vector<uint64_t> cost(n + 1);
    std::vector<Match> choice(n + 1);
    cost[n] = 0;
    for (size_t i = n; i-- > 0;) {
        const size_t at = from + i;
        uint64_t best = costs.symbol[data[start + at]] + cost[i + 1];
        Match taken{1, 0};
        const uint32_t room = static_cast<uint32_t>(std::min<size_t>(n - i, kMaxMatch));
        uint32_t length = kMinMatch;
        for (const StoredMatch m : table.At(at)) {
            const uint32_t distanceCost = costs.distance[m.distance];
            const uint32_t last = std::min<uint32_t>(m.length, room);
            for (; length <= last; ++length) {
                const uint64_t c =
                    costs.symbol[SymbolOfLength(static_cast<int>(length))] + distanceCost + cost[i + length];
                if (c < best) {
                    best = c;
                    taken = {length, m.distance};
                }
            }
            if (last == room) break;
        }
        cost[i] = best;
        choice[i] = taken;
    }
    tokens.clear();
    for (size_t i = 0; i < n;) {
        const Match m = choice[i];
        tokens.push_back(m.length == 1 ? LiteralToken(data[start + from + i])
                                       : MatchToken(m.length, m.distance));
        i += m.length;
    }
}

// The longest match at each step: the first parse, before there are codes.
void GreedyParse(std::span<const uint8_t> data, size_t start, const MatchTable& table,
                 std::vector<Token>& tokens) {
    const size_t n = data.size() - start;
    for (size_t i = 0; i < n;) {
        const auto matches = table.At(i);
        if (matches.empty()) {
            tokens.push_back(LiteralToken(data[start + i]));
            ++i;
        } else {
            tokens.push_back(MatchToken(matches.back().length, matches.back().distance));
            i += matches.back().length;
        }
    }
}

Histogram HistogramOf(std::span<const Token> tokens) {
    Histogram h;
    h.Add(tokens);
    return h;
}

CostModel CostsOf(std::span<const Token> tokens) {
    return CostModel(HistogramOf(tokens));
}

// Block cuts are considered every this many tokens.
constexpr size_t kBestGrain = 512;

void EncodeBest(std::span<const uint8_t> data, size_t start, BitWriter& out) {
    const MatchTable table = FindAllMatches(data, start);
    const size_t n = data.size() - start;
    std::vector<Token> tokens;
    tokens.reserve(n);
    GreedyParse(data, start, table, tokens);
    for (int pass = 0; pass < kSegmentPasses; ++pass) {
        CheapestParse(data, start, table, 0, n, CostsOf(tokens), tokens);
    }
    // Each block parsed again priced by its own counts, the parse with the
    // fewest bits kept, and written as the blocks that its tokens suggest.
    std::vector<Token> blockTokens, trial;
    size_t fromToken = 0, fromByte = 0;
    for (const size_t endToken : ChooseBlockEnds(tokens, kBestGrain)) {
        size_t toByte = fromByte;
        for (size_t k = fromToken; k < endToken; ++k) toByte += TokenLength(tokens[k]);
        blockTokens.assign(tokens.begin() + static_cast<ptrdiff_t>(fromToken),
                           tokens.begin() + static_cast<ptrdiff_t>(endToken));
        Histogram counts = HistogramOf(blockTokens);
        Histogram fewestCounts = counts;
        BlockPlan fewest(counts);
        trial = blockTokens;
        for (int pass = 0; pass <= kBlockSharePasses; ++pass) {
            const CostModel costs =
                pass < kBlockSharePasses ? CostModel(counts) : CostModel(fewestCounts, fewest);
            CheapestParse(data, start, table, fromByte, toByte, costs, trial);
            counts = HistogramOf(trial);
            BlockPlan plan(counts);
            if (plan.Bits() < fewest.Bits()) {
                fewest = plan;
                fewestCounts = counts;
                blockTokens = trial;
            }
        }
        WriteBlocks(out, blockTokens, kBestGrain);
        fromToken = endToken;
        fromByte = toByte;
    }
    assert(fromByte == n);
}

}  // namespace

SegmentCode EncodeSegment(std::span<const uint8_t> window, size_t start, bool best) {
    assert(start <= kWindowSize && start < window.size());
    // Room for data that does not shrink, which would otherwise grow both
    // vectors once more and copy them: a token a byte at most, and a little
    // over a byte a byte.
    const size_t n = window.size() - start;
    SegmentCode code;
    code.bytes.reserve(n + n / 32 + 64);
    BitWriter out(code.bytes);
    if (best) {
        EncodeBest(window, start, out);
    } else {
        std::vector<Token> tokens;
        tokens.reserve(n);
        LazyParse(window, start, kDefaultParams, tokens);
        WriteBlocks(out, tokens, kDefaultGrain);
    }
    code.bits = out.BitCount();
    out.Finish();
    return code;
}

}  // namespace lzh5

}  // namespace kq::pack
