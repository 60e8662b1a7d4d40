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

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/Lzh1Model.h"
#include "InstCompress/MatchCopy.h"

namespace kq {

namespace {

using namespace lzh1;

// MSB-first bits from the pipeline. Input is fetched only when 8 bits or
// fewer are left, one byte at a time, so the decoder stops fetching at
// exactly the same input byte however it asks for its bits; bytes of the
// chunk the pipeline already holds are taken a word at a time. The bits sit
// left-aligned in a 64-bit word, the bits below them are 0. Past the end of
// the input the reader supplies zero bits and counts them.
class BitReader {
public:
    explicit BitReader(CodecPipeline& pipe) noexcept : pipe_(pipe) {}

    // n 1..8.
    uint32_t FetchBits(uint32_t n) {
        Refill();
        const auto bits = static_cast<uint32_t>(buffer_ >> (64 - n));
        buffer_ <<= n;
        count_ -= n;
        return bits;
    }

    // Whether a bit past the stored data has been taken. The supplied zero
    // bits come after every real one, so some were taken exactly when fewer
    // bits are left than were supplied.
    bool PastEnd() const noexcept { return count_ < supplied_; }

    // The tree walk keeps the buffer in registers: Load, then per bit
    // Refill when 8 bits or fewer are left, then Store.
    uint64_t buffer() const noexcept { return buffer_; }
    uint32_t count() const noexcept { return count_; }
    void Store(uint64_t buffer, uint32_t count) noexcept {
        buffer_ = buffer;
        count_ = count;
    }

    void Refill() {
        if (count_ > 8) [[likely]] return;
        if (pipe_.BufferedInputSize() >= 8 && !pipe_.EndOfInput()) {
            const uint8_t* const p = pipe_.BufferedInput();
            uint64_t ahead = 0;
            for (int i = 0; i < 8; ++i) ahead = ahead << 8 | p[i];
            const uint32_t take = (63 - count_) >> 3;  // whole bytes that fit, at least 6
            ahead &= ~uint64_t{0} << (64 - 8 * take);
            buffer_ |= ahead >> count_;
            count_ += 8 * take;
            pipe_.SkipBufferedInput(take);
            return;
        }
        uint64_t b = pipe_.ReadByte();
        if (pipe_.EndOfInput()) {
            b = 0;
            supplied_ += 8;
        }
        buffer_ |= b << (56 - count_);
        count_ += 8;
    }

private:
    CodecPipeline& pipe_;
    uint64_t buffer_ = 0;
    uint32_t count_ = 0;
    uint32_t supplied_ = 0;  // zero bits supplied past the end of the input
};

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
struct CodePath {
    // Every slot on a path is distinct, so kSlots entries always suffice.
    uint16_t path[kSlots];
    uint32_t deepest;
};

// Walks the code from the root; with kCountAhead it counts each slot on
// the way and fills `p`.
template <bool kCountAhead>
uint32_t WalkCode(DecodingTree& tree, BitReader& reader, CodePath& p) {
    p.path[0] = kRoot;
    uint32_t depth = 1;
    uint32_t deepest = 0;
    uint32_t child = tree.Child[kRoot];
    uint64_t bits = reader.buffer();
    uint32_t count = reader.count();
    const auto visit = [&](uint32_t slot) {
        if constexpr (kCountAhead) {
            assert(depth < kSlots);
            p.path[depth] = static_cast<uint16_t>(slot);
            if (tree.CountAhead(slot)) deepest = depth;
            ++depth;
        }
    };
    // Two bits a step through Pairs; Refill leaves at least 8 bits.
    do {
        if (count <= 8) [[unlikely]] {
            reader.Store(bits, count);
            reader.Refill();
            bits = reader.buffer();
            count = reader.count();
        }
        const auto two = static_cast<uint32_t>(bits >> 62);
        const uint32_t next = tree.Pairs[2 * child + two];
        const uint32_t slot = child + (two >> 1);
        visit(slot);
        if (next & DecodingTree::kOneBit) {
            bits <<= 1;
            --count;
            child = next & ~uint32_t{DecodingTree::kOneBit};
            break;
        }
        visit(tree.Child[slot] + (two & 1));
        bits <<= 2;
        count -= 2;
        child = next;
    } while (child < kSlots);
    reader.Store(bits, count);
    p.deepest = deepest;
    return child - kSlots;
}

// The rare and the longer paths stay out of the decoding loop.
[[gnu::noinline]] uint32_t DecodeSymbolBeforeRebuild(DecodingTree& tree, BitReader& reader, CodePath& p) {
    // The rebuild comes between the walk and the count.
    const uint32_t c = WalkCode<false>(tree, reader, p);
    tree.UpdateTree(c);
    return c;
}

[[gnu::noinline]] void Settle(DecodingTree& tree, const CodePath& p) {
    tree.SettleCountedPath(p.path, p.deepest);
}

inline uint32_t DecodeSymbol(DecodingTree& tree, BitReader& reader, CodePath& p) {
    if (tree.Freq[kRoot] == kRebuildWeight) [[unlikely]] return DecodeSymbolBeforeRebuild(tree, reader, p);
    ++tree.Freq[kRoot];
    const uint32_t c = WalkCode<true>(tree, reader, p);
    if (p.deepest != 0) Settle(tree, p);
    return c;
}

inline uint32_t DecodeOffset(BitReader& bits) {
    const uint32_t b = bits.FetchBits(8);
    const uint32_t n = OffsetCodeLength[b] - 2u;
    assert(n >= 1 && n <= 6);
    const uint32_t v = bits.FetchBits(n);
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
    BitReader bits(pipe);
    CodePath path;

    // Wider than the size: a final match may run up to 59 bytes past it.
    int64_t before = 0;  // bytes handed over
    while (before + (op - start) < expectedSize) {
        const uint32_t c = DecodeSymbol(tree, bits, path);
        // A symbol's code is shorter than kSlots bits and an offset's code
        // 14 bits, so the count of supplied bits stays far from wrapping.
        const uint32_t d = c < 256 ? 0 : DecodeOffset(bits);
        if (bits.PastEnd()) [[unlikely]] CodecPipeline::FailEntry();
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
