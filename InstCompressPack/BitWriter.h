// Most-significant-bit-first bit writer shared by the encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kq::pack {

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

    // Appends the low `n` bits of `value` (n 0..32, value below 2^n),
    // most significant first.
    void Put(uint32_t n, uint32_t value) {
        acc_ = (acc_ << n) | value;
        pending_ += n;
        while (pending_ >= 8) {
            pending_ -= 8;
            out_.push_back(static_cast<uint8_t>(acc_ >> pending_));
        }
    }

    size_t BitCount() const { return out_.size() * 8 + pending_; }

    // Pads the last byte with zero bits.
    void Finish() {
        if (pending_ > 0) Put(8 - pending_, 0);
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t acc_ = 0;
    uint32_t pending_ = 0;
};

}  // namespace kq::pack
