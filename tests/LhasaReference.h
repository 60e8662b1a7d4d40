// lhasa's decoders as an independent reference, for the tests (only where
// liblhasa is) and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kq::test {

// Expands a raw stream of `method` ("-lh1-", "-lh5-") to at most `size`
// bytes through `scratch`, handing each piece to onPiece(bytes, count,
// offset); returns the bytes produced, or nothing when lhasa has no such
// decoder.
using LhasaPiece = std::function<void(const uint8_t* bytes, size_t count, size_t offset)>;
std::optional<size_t> ExpandWithLhasa(std::span<const uint8_t> coded, size_t size, const char* method,
                                      std::vector<uint8_t>& scratch, const LhasaPiece& onPiece = {});

// The whole expansion; empty when lhasa refuses the stream.
std::vector<uint8_t> ExpandWithLhasa(std::span<const uint8_t> coded, size_t size, const char* method);

}  // namespace kq::test
