// The bit reader of the coded decoders: MSB-first bits of one entry's
// stored data, taken from the pipeline.
//
// The bits sit left-aligned in a 64-bit word, the next one in the top bit;
// `count` of them are valid and the bits below them are 0. Refill fetches
// input only when fewer than kLookahead bits are left, and then leaves at
// least kLookahead. Bytes of the chunk the pipeline already holds are taken
// a word at a time (fetching nothing from the source); a byte beyond the
// chunk is asked for one at a time, so the next chunk is fetched, and
// progress reported, when a reader that keeps kLookahead bits and reads a
// byte at a time would fetch it, however the decoder asks for its bits.
//
// When to refill is the decoder's: the -lh1- decoder refills before it
// takes bits, the -lh5- decoder as soon as it has dropped them.
//
// Past the end of the input the reader supplies zero bits and counts them.
// The supplied bits come after every real one (once the input has ended
// nothing more is asked of the pipeline), so a supplied bit has been taken
// exactly when fewer bits are left than were supplied: PastEnd. A refill
// that has to fetch raises that failure (CodecPipeline::FailEntry) itself,
// so the supplied bits never pile up; a decoder tests PastEnd where it must
// fail before the next refill.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "InstCompress/CodecPipeline.h"

namespace kq {

// The 8 bytes at `p` as a big-endian number.
inline uint64_t LoadBigEndian64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

template <int Lookahead>
class BitReader {
public:
    using Word = uint64_t;
    static constexpr int kWordBits = 64;
    static constexpr int kLookahead = Lookahead;
    // A word refill takes whole bytes below the top bit; with fewer than
    // kLookahead bits left that is at least one byte.
    static_assert(kLookahead >= 1 && kLookahead <= kWordBits - 8);

    explicit BitReader(CodecPipeline& pipe) noexcept : pipe_(pipe) {}

    // The next n bits, n 1..32; only the valid ones come from the stream.
    uint32_t Peek(int n) const {
        assert(n >= 1 && n <= 32);
        return static_cast<uint32_t>(bits_ >> (kWordBits - n));
    }

    // Drops n valid bits, without a refill.
    void Drop(int n) {
        assert(n >= 0 && n <= count_);
        bits_ <<= n;
        count_ -= n;
    }

    void Refill() {
        if (count_ >= kLookahead) [[likely]]
            return;
        if (pipe_.BufferedInputSize() >= sizeof(Word) && !pipe_.EndOfInput()) [[likely]] {
            // Whole bytes that fit below the top bit, which a loop keeping
            // the word in registers needs to refill without a branch.
            const int take = (kWordBits - 1 - count_) >> 3;
            const Word ahead = LoadBigEndian64(pipe_.BufferedInput()) & ~Word{0} << (kWordBits - 8 * take);
            bits_ |= ahead >> count_;
            count_ += 8 * take;
            pipe_.SkipBufferedInput(static_cast<size_t>(take));
            return;
        }
        if (PastEnd()) [[unlikely]]
            CodecPipeline::FailEntry();
        do {
            FetchByte();
        } while (count_ < kLookahead);
        assert(supplied_ <= count_ && count_ < kLookahead + 8);
    }

    // Whether a bit past the stored data has been taken.
    bool PastEnd() const noexcept { return count_ < supplied_; }

    // A decoding loop may keep the word in registers: it takes bits() and
    // count(), and hands them back through Store, with the bits below
    // `count` 0.
    Word bits() const noexcept { return bits_; }
    int count() const noexcept { return count_; }
    void Store(Word bits, int count) noexcept {
        assert(count >= 0 && count < kWordBits && (bits << count) == 0);
        bits_ = bits;
        count_ = count;
    }

private:
    void FetchByte() {
        // Once the input has ended every further bit is 0.
        const Word byte = pipe_.EndOfInput() ? 0 : pipe_.ReadByte();
        if (pipe_.EndOfInput()) supplied_ += 8;
        bits_ |= byte << (kWordBits - 8 - count_);
        count_ += 8;
    }

    CodecPipeline& pipe_;
    Word bits_ = 0;
    int count_ = 0;
    int supplied_ = 0;  // zero bits supplied past the end of the input
};

}  // namespace kq
