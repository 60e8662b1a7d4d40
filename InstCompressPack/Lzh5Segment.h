// The LH5 encoder's unit of work: a segment of the input coded as whole
// blocks, with the 8 KiB before it as the match finder's history. Segments
// coded apart and joined at bit offsets make the entry's stream, so they
// can be coded side by side. Internal to the writer library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "InstCompressPack/Encoders.h"

namespace kq::pack::lzh5 {

// The same for every thread count, so that the output is too.
constexpr size_t kSegmentSize = size_t{1} << 20;

// Block ends fall on multiples of this many tokens (of the default parse;
// the best parse uses finer grains).
constexpr size_t kDefaultGrain = 4096;

struct SegmentCode {
    std::vector<uint8_t> bytes;  // the last byte padded with zero bits
    size_t bits = 0;
};

// Codes window[start..] as whole blocks; window[..start), at most the
// window size, holds the bytes before it, which matches may reach.
SegmentCode EncodeSegment(std::span<const uint8_t> window, size_t start, bool best);

// The incremental encoder with a given segment size (tests use small ones).
std::unique_ptr<EntryEncoder> MakeSegmentedEncoder(CodedSink sink, const EncodeOptions& options,
                                                   size_t segmentSize);

}  // namespace kq::pack::lzh5
