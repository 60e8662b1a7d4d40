// LZH1 decoder: LZSS over a 4096-byte ring whose literals and match lengths
// share one adaptive Huffman code; a match offset follows its length as a
// prefix code for the upper 6 bits plus 6 plain bits. The stream has no end
// mark: the expected size decides when to stop. A symbol whose code runs
// past the stored data fails the entry before it is written.
#include <memory>
#include <new>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/Lzh1Model.h"

namespace kq {

namespace {

using namespace lzh1;

// MSB-first bits from the pipeline. At most one byte is fetched per read,
// and only when 8 bits or fewer are left, so the decoder stops fetching at
// exactly the same input byte however it asks for its bits. The bits sit
// left-aligned in the top 16 bits of a 32-bit word. Past the end of the
// input the reader supplies zero bits and counts them.
class BitReader {
public:
    explicit BitReader(CodecPipeline& pipe) noexcept : pipe_(pipe) {}

    uint32_t FetchBits(uint32_t n) {
        Refill();
        const uint32_t bits = buffer_ >> (32 - n);
        buffer_ <<= n;
        count_ -= n;
        return bits;
    }

    uint32_t FetchBit() {
        Refill();
        const uint32_t bit = buffer_ >> 31;
        buffer_ <<= 1;
        --count_;
        return bit;
    }

    // Whether a bit past the stored data has been taken. The supplied zero
    // bits come after every real one, so some were taken exactly when fewer
    // bits are left than were supplied.
    bool PastEnd() const noexcept { return count_ < supplied_; }

private:
    void Refill() {
        if (count_ > 8) [[likely]] return;
        uint32_t b = pipe_.ReadByte();
        if (pipe_.EndOfInput()) {
            b = 0;
            supplied_ += 8;
        }
        buffer_ |= b << (24 - count_);
        count_ += 8;
    }

    CodecPipeline& pipe_;
    uint32_t buffer_ = 0;
    uint32_t count_ = 0;
    uint32_t supplied_ = 0;  // zero bits supplied past the end of the input
};

struct DecoderState {
    AdaptiveTree tree;
    std::array<uint8_t, kRingSize> ring;
};

std::unique_ptr<DecoderState> AllocateState() {
    try {
        return std::make_unique_for_overwrite<DecoderState>();
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory(msg::kOutOfMemory);
    }
}

inline uint32_t DecodeSymbol(AdaptiveTree& tree, BitReader& bits) {
    // Every slot on a path is distinct, so kSlots entries always suffice.
    uint16_t path[kSlots];
    uint32_t depth = 0;
    uint32_t child = tree.Child[kRoot];
    while (child < kSlots) {
        const uint32_t slot = child + bits.FetchBit();
        path[depth++] = static_cast<uint16_t>(slot);
        child = tree.Child[slot];
    }
    const uint32_t c = child - kSlots;
    tree.UpdateTreeAlongPath(c, path, depth);
    return c;
}

inline uint32_t DecodeOffset(BitReader& bits) {
    const uint32_t b = bits.FetchBits(8);
    const uint32_t n = OffsetCodeLength[b] - 2u;
    const uint32_t v = bits.FetchBits(n);
    return uint32_t{OffsetHigh[b]} * 64 + (((b << n) | v) & 0x3F);
}

}  // namespace

void DecodeLzh1(CodecPipeline& pipe, int32_t expectedSize) {
    if (expectedSize <= 0) return;
    const std::unique_ptr<DecoderState> state = AllocateState();
    AdaptiveTree& tree = state->tree;
    uint8_t* const ring = state->ring.data();

    tree.ResetTree();
    // Other -lh1- coders treat the whole ring as spaces; only 0..4035 must be.
    state->ring.fill(' ');
    uint32_t r = kFirstWrite;
    BitReader bits(pipe);

    // Wider than the size: a final match may run up to 59 bytes past it.
    int64_t produced = 0;
    while (produced < expectedSize) {
        const uint32_t c = DecodeSymbol(tree, bits);
        // A symbol's code is shorter than kSlots bits and an offset's code
        // 14 bits, so the count of supplied bits stays far from wrapping.
        const uint32_t d = c < 256 ? 0 : DecodeOffset(bits);
        if (bits.PastEnd()) [[unlikely]] CodecPipeline::FailEntry();
        if (c < 256) {
            pipe.WriteByte(c);
            ring[r] = static_cast<uint8_t>(c);
            r = (r + 1) & kRingMask;
            ++produced;
            continue;
        }
        const uint32_t start = r - d - 1;
        const uint32_t length = LengthOfSymbol(c);
        for (uint32_t k = 0; k < length; ++k) {
            const uint8_t x = ring[(start + k) & kRingMask];
            pipe.WriteByte(x);
            ring[r] = x;
            r = (r + 1) & kRingMask;
        }
        produced += length;
    }
}

}  // namespace kq
