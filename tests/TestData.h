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

}  // namespace kq::test
