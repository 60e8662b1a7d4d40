// lhasa's decoders as an independent reference (only where liblhasa is).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kq::test {

// Expands a raw -lh1- or -lh5- stream to at most `size` bytes; what lhasa
// produced, or nothing when it refuses the stream.
std::vector<uint8_t> ExpandWithLhasa(const std::vector<uint8_t>& coded, size_t size, const char* method);

}  // namespace kq::test
