// Encoders for the archive methods. They live in the tool, never in the
// component. Each returns the coded bytes of `input`; coded data ends with
// the last byte that holds a bit of the code, and an empty input gives no
// bytes, because the expander's entry walk resumes where its decoder
// stopped fetching input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kq::pack {

// Told now and then how many input bytes are coded; may be empty.
using EncodeProgress = std::function<void(size_t bytesDone)>;

// Run-length code with marker 0x94. Never more than twice the input size.
std::vector<uint8_t> EncodeRle(std::span<const uint8_t> input, const EncodeProgress& progress = {});

// LZSS over a 4096-byte ring, adaptive Huffman (the -lh1- stream).
std::vector<uint8_t> EncodeLzh1(std::span<const uint8_t> input, const EncodeProgress& progress = {});

// LZSS over an 8 KiB window, static Huffman blocks (the -lh5- stream).
std::vector<uint8_t> EncodeLzh5(std::span<const uint8_t> input, const EncodeProgress& progress = {});

}  // namespace kq::pack
