// Encoders for the archive methods. They live in the writer library, never in
// the component. Each returns the coded bytes of `input`; coded data ends with
// the last byte that holds a bit of the code, and an empty input gives no
// bytes, because the expander's entry walk resumes where its decoder
// stopped fetching input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace kq::pack {

// Told now and then how many input bytes are coded; may be empty.
using EncodeProgress = std::function<void(size_t bytesDone)>;

// Run-length code with marker 0x94. Never more than twice the input size.
std::vector<uint8_t> EncodeRle(std::span<const uint8_t> input, const EncodeProgress& progress = {});

// LZSS over a 4096-byte ring, adaptive Huffman (the -lh1- stream).
std::vector<uint8_t> EncodeLzh1(std::span<const uint8_t> input, const EncodeProgress& progress = {});

struct EncodeOptions {
    bool best = false;     // LZH5: smaller output for more time
    unsigned threads = 1;  // LZH5: worker threads; the output is the same for every count
};

// LZSS over an 8 KiB window, static Huffman blocks (the -lh5- stream).
std::vector<uint8_t> EncodeLzh5(std::span<const uint8_t> input, const EncodeProgress& progress = {});
std::vector<uint8_t> EncodeLzh5(std::span<const uint8_t> input, const EncodeOptions& options,
                                const EncodeProgress& progress = {});

// Receives an entry's coded bytes in order, in pieces of any size.
using CodedSink = std::function<void(std::span<const uint8_t> coded)>;

// Codes one entry incrementally, so that an entry of any size needs bounded
// memory: Put the plain bytes in pieces of any size, then Finish once. The
// coded bytes are the same as the whole-input function's for the same bytes.
class EntryEncoder {
public:
    virtual ~EntryEncoder() = default;
    virtual void Put(std::span<const uint8_t> plain) = 0;
    // Codes what is held back and writes the last byte of the code.
    virtual void Finish() = 0;
};

std::unique_ptr<EntryEncoder> MakeRleEncoder(CodedSink sink);
std::unique_ptr<EntryEncoder> MakeLzh1Encoder(CodedSink sink);
std::unique_ptr<EntryEncoder> MakeLzh5Encoder(CodedSink sink, const EncodeOptions& options = {});

}  // namespace kq::pack
