// Most-significant-bit-first bit writer shared by the encoders, and the
// joiner that appends such bit streams at any bit offset.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kq::pack {

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

    // Appends the low `n` bits of `value` (n 0..32, value below 2^n),
    // most significant first.
    void Put(uint32_t n, uint32_t value) {
        assert(n <= 32 && (n == 32 || value >> n == 0));
        acc_ = (acc_ << n) | value;
        pending_ += n;
        if (pending_ >= 32) {
            pending_ -= 32;
            const auto word = static_cast<uint32_t>(acc_ >> pending_);
            const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                      static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
            out_.insert(out_.end(), bytes, bytes + 4);
        }
    }

    size_t BitCount() const { return out_.size() * 8 + pending_; }

    // Puts as Put does, for a run of codes expected to take at most
    // `bits` bits: the bytes go to room made in the vector beforehand,
    // which it grows only when the run takes more, and the writer's state
    // stays in registers, as the bytes stored cannot alias it. Each put
    // stores the next eight bytes and moves on by the whole ones, without
    // a branch on whether any are.
    class Run {
    public:
        void Put(uint32_t n, uint32_t value) {
            assert(n <= 32 && (n == 32 || value >> n == 0));
            acc_ = (acc_ << n) | value;
            pending_ += n;  // below 64: below 32 as a run starts, below 8 after each put
            if (end_ - next_ < 8) [[unlikely]]
                Grow();
            const uint64_t top = (acc_ << 1) << (63 - pending_);  // the pending bits, at the top
            uint8_t bytes[8];
            for (int k = 0; k < 8; ++k) bytes[k] = static_cast<uint8_t>(top >> (56 - 8 * k));
            std::memcpy(next_, bytes, 8);
            next_ += pending_ / 8;
            pending_ %= 8;
        }

    private:
        friend class BitWriter;
        Run(std::vector<uint8_t>& out, uint64_t acc, uint32_t pending, size_t bits)
            : out_(out), acc_(acc), pending_(pending) {
            const size_t used = out.size();
            out.resize(used + (pending + bits) / 8 + 8);
            next_ = out.data() + used;
            end_ = out.data() + out.size();
        }
        void Grow() {
            const size_t used = static_cast<size_t>(next_ - out_.data());
            out_.resize(out_.size() + 64);
            next_ = out_.data() + used;
            end_ = out_.data() + out_.size();
        }

        std::vector<uint8_t>& out_;
        uint64_t acc_;
        uint32_t pending_;
        uint8_t* next_;
        uint8_t* end_;
    };

    template <typename Fn>
    void PutRun(size_t bits, Fn&& fn) {
        Run run(out_, acc_, pending_, bits);
        fn(run);
        out_.resize(static_cast<size_t>(run.next_ - out_.data()));
        acc_ = run.acc_;
        pending_ = run.pending_;
    }

    // Writes the whole bytes held back and pads the last byte with zero bits.
    void Finish() {
        while (pending_ >= 8) {
            pending_ -= 8;
            out_.push_back(static_cast<uint8_t>(acc_ >> pending_));
        }
        if (pending_ > 0) {
            out_.push_back(static_cast<uint8_t>(acc_ << (8 - pending_)));
            pending_ = 0;
        }
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t acc_ = 0;
    uint32_t pending_ = 0;  // bits in acc_ not yet written, below 32 between calls
};

// Joins bit streams end to end at any bit offset: the whole bytes go out as
// soon as they are complete, the last partial byte stays until Finish.
class BitJoiner {
public:
    // Appends the first `bitCount` bits of `bytes` (most significant bit
    // first) and adds the bytes completed by them to `out`.
    void Append(std::span<const uint8_t> bytes, size_t bitCount, std::vector<uint8_t>& out) {
        assert(bitCount <= bytes.size() * 8);
        const size_t whole = bitCount / 8;
        if (pendingBits_ == 0) {
            out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(whole));
        } else {
            // Each byte out takes the low bits of one byte in and the high
            // bits of the next: no byte waits on the one before.
            const size_t at = out.size();
            out.resize(at + whole);
            uint8_t* const to = out.data() + at;
            if (whole > 0) {
                to[0] = static_cast<uint8_t>(pending_ | bytes[0] >> pendingBits_);
                for (size_t i = 1; i < whole; ++i) {
                    to[i] =
                        static_cast<uint8_t>(bytes[i - 1] << (8 - pendingBits_) | bytes[i] >> pendingBits_);
                }
                pending_ = static_cast<uint8_t>(bytes[whole - 1] << (8 - pendingBits_));
            }
        }
        const unsigned rest = bitCount % 8;
        if (rest == 0) return;
        // The top `rest` bits of the next byte, the lower ones cleared.
        const auto tail = static_cast<uint8_t>(bytes[whole] & (0xFF00u >> rest));
        pending_ = static_cast<uint8_t>(pending_ | tail >> pendingBits_);
        pendingBits_ += rest;
        if (pendingBits_ >= 8) {
            out.push_back(pending_);
            pendingBits_ -= 8;
            pending_ = static_cast<uint8_t>(tail << (rest - pendingBits_));
        }
    }

    // Adds the last partial byte, padded with zero bits.
    void Finish(std::vector<uint8_t>& out) {
        if (pendingBits_ > 0) out.push_back(pending_);
        pending_ = 0;
        pendingBits_ = 0;
    }

private:
    uint8_t pending_ = 0;       // the next byte's first bits, at the top
    unsigned pendingBits_ = 0;  // 0..7
};

}  // namespace kq::pack
