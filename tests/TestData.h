// Inputs every test suite, fuzz harness and benchmark draws from, each
// reproducible from its seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kq::test {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& text);

// Uniform random bytes: nothing to match, flat statistics.
Bytes RandomBytes(size_t size, uint32_t seed);

// Words of a small vocabulary with spaces, line ends and a few digits:
// matches at every distance, skewed literals, like prose.
Bytes Words(size_t size, uint32_t seed);

// Most-significant-bit-first bits for hand-made streams, put one at a time
// so that they share nothing with the encoders' writer.
class Bits {
public:
    // The low `n` bits of `value`, the highest first.
    Bits& Put(int n, uint32_t value);
    size_t BitCount() const { return bytes_.size() * 8 - (used_ ? 8 - used_ : 0); }
    // The bits so far, the last byte padded with zero bits.
    const Bytes& Done() const { return bytes_; }

private:
    Bytes bytes_;
    int used_ = 0;  // bits used in the last byte, 0 when it is full
};

}  // namespace kq::test
