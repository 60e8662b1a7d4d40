// LZH1 decoder: LZSS over a 4096-byte ring whose literals and match lengths
// share one adaptive Huffman code; a match offset follows its length as a
// prefix code for the upper 6 bits plus 6 plain bits. The stream has no end
// mark: the expected size decides when to stop. A symbol whose code runs
// past the stored data fails the entry before it is written.
#include <array>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>

#include "InstCompress/BitReader.h"
#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/Lzh1Model.h"
#include "InstCompress/MatchCopy.h"

namespace kq {

namespace {

using namespace lzh1;

// Codes are read a bit or two at a time and an offset's parts 8 bits at
// most; like the classic -lh1- reader this one fetches a byte whenever 8
// bits or fewer are left, before it takes bits.
using Reader = BitReader<9>;

// n 1..8.
uint32_t FetchBits(Reader& bits, int n) {
    bits.Refill();
    const uint32_t value = bits.Peek(n);
    bits.Drop(n);
    return value;
}

// Output buffer: the 4 KiB window, then room for the output between two
// hand-overs to the pipeline, then a whole match and the copy slack.
constexpr size_t kSpan = 64 * 1024;

struct DecoderState {
    DecodingTree tree;
    std::array<uint8_t, kRingSize + kSpan + kMaxMatch + kCopySlack> output;
};

std::unique_ptr<DecoderState> AllocateState() {
    try {
        return std::make_unique_for_overwrite<DecoderState>();
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory(msg::kOutOfMemory);
    }
}

// A code's path from the root, counted ahead (DecodingTree::CountAhead):
// path[0] is the root, then the slots below it down to the leaf; deepest is
// the deepest level whose slot the update exchanges, 0 for none.
//
// Counting ahead pays while most updates make no exchange: the counts ride
// along the walk. Where most do, as a literal of incompressible data nearly
// always exchanges its leaf, the counts taken back cost more than they
// spare, and the decoder counts after the walk (UpdateTree) instead. The
// tree comes out the same either way; exchangeRate, a running average of
// how many updates exchange (256 for all), picks the way.
struct CodePath {
    // Every slot on a path is distinct, so kSlots entries always suffice.
    uint16_t path[kSlots];
    uint32_t deepest;
    uint32_t exchangeRate = 0;
};

constexpr uint32_t kCountAfterRate = 80;

// Walks the code from the root; with kCountAhead it counts each slot on
// the way and fills `p`. Returns the symbol; `leaf` gets its slot.
template <bool kCountAhead>
uint32_t WalkCode(DecodingTree& tree, Reader& reader, CodePath& p, uint32_t& leaf) {
    p.path[0] = kRoot;
    uint32_t depth = 1;
    uint32_t deepest = 0;
    uint32_t child = tree.Child[kRoot];
    uint64_t bits = reader.bits();
    uint32_t count = static_cast<uint32_t>(reader.count());
    const auto visit = [&](uint32_t slot) {
        if constexpr (kCountAhead) {
            assert(depth < kSlots);
            p.path[depth] = static_cast<uint16_t>(slot);
            if (tree.CountAhead(slot)) deepest = depth;
            ++depth;
        }
    };
    // Two bits a step through Pairs.
    for (;;) {
        if (count < Reader::kLookahead) [[unlikely]] {
            reader.Store(bits, static_cast<int>(count));
            reader.Refill();
            bits = reader.bits();
            count = static_cast<uint32_t>(reader.count());
        }
        const auto two = static_cast<uint32_t>(bits >> 62);
        const uint32_t next = tree.Pairs[2 * child + two];
        const uint32_t slot = child + (two >> 1);
        visit(slot);
        if (next & DecodingTree::kOneBit) {
            bits <<= 1;
            --count;
            child = next & ~uint32_t{DecodingTree::kOneBit};
            leaf = slot;
            break;
        }
        const uint32_t below = tree.Child[slot] + (two & 1);
        visit(below);
        bits <<= 2;
        count -= 2;
        child = next;
        if (child >= kSlots) {
            leaf = below;
            break;
        }
    }
    reader.Store(bits, static_cast<int>(count));
    p.deepest = deepest;
    return child - kSlots;
}

// The rare and the longer paths stay out of the decoding loop.
[[gnu::noinline]] uint32_t DecodeSymbolBeforeRebuild(DecodingTree& tree, Reader& reader, CodePath& p) {
    // The rebuild comes between the walk and the count.
    uint32_t leaf;
    const uint32_t c = WalkCode<false>(tree, reader, p, leaf);
    tree.UpdateTree(c);
    return c;
}

[[gnu::noinline]] void Settle(DecodingTree& tree, const CodePath& p) {
    tree.SettleCountedPath(p.path, p.deepest);
}

inline uint32_t DecodeSymbol(DecodingTree& tree, Reader& reader, CodePath& p) {
    if (tree.Freq[kRoot] == kRebuildWeight) [[unlikely]]
        return DecodeSymbolBeforeRebuild(tree, reader, p);
    uint32_t c;
    uint32_t leaf;
    bool exchanged;
    if (p.exchangeRate < kCountAfterRate) {
        ++tree.Freq[kRoot];
        c = WalkCode<true>(tree, reader, p, leaf);
        exchanged = p.deepest != 0;
        if (exchanged) Settle(tree, p);
    } else {
        c = WalkCode<false>(tree, reader, p, leaf);
        exchanged = tree.UpdateTreeFromLeaf(leaf);
    }
    p.exchangeRate = p.exchangeRate - p.exchangeRate / 16 + (exchanged ? 16u : 0u);
    return c;
}

inline uint32_t DecodeOffset(Reader& bits) {
    const uint32_t b = FetchBits(bits, 8);
    const uint32_t n = OffsetCodeLength[b] - 2u;
    assert(n >= 1 && n <= 6);
    const uint32_t v = FetchBits(bits, static_cast<int>(n));
    return uint32_t{OffsetHigh[b]} * 64 + (((b << n) | v) & 0x3F);
}

}  // namespace

void DecodeLzh1(CodecPipeline& pipe, int32_t expectedSize) {
    if (expectedSize <= 0) return;
    const std::unique_ptr<DecoderState> state = AllocateState();
    DecodingTree& tree = state->tree;
    tree.ResetTree();
    // Other -lh1- coders treat the whole ring as spaces; only 0..4035 must
    // be. A match reaches at most kRingSize bytes back.
    uint8_t* const buffer = state->output.data();
    std::memset(buffer, ' ', kRingSize);
    uint8_t* const fullAt = buffer + kRingSize + kSpan;
    uint8_t* start = buffer + kRingSize;  // first byte not yet handed over
    uint8_t* op = start;
    Reader bits(pipe);
    CodePath path;

    // Wider than the size: a final match may run up to 59 bytes past it.
    int64_t before = 0;  // bytes handed over
    while (before + (op - start) < expectedSize) {
        const uint32_t c = DecodeSymbol(tree, bits, path);
        // A bit past the stored data fails the symbol before it is written.
        const uint32_t d = c < 256 ? 0 : DecodeOffset(bits);
        if (bits.PastEnd()) [[unlikely]]
            CodecPipeline::FailEntry();
        if (c < 256) {
            *op++ = static_cast<uint8_t>(c);
        } else {
            const uint32_t length = LengthOfSymbol(c);
            CopyMatch(op, d + 1, length);
            op += length;
        }
        if (op >= fullAt) [[unlikely]] {
            pipe.WriteBytes(start, static_cast<size_t>(op - start));
            before += op - start;
            std::memmove(buffer, op - kRingSize, kRingSize);
            start = op = buffer + kRingSize;
        }
    }
    pipe.WriteBytes(start, static_cast<size_t>(op - start));
}

}  // namespace kq
