// Whether coding a large entry will shrink it, judged from samples before it
// is coded in full: an entry that will not shrink is stored at once instead
// of being coded and thrown away. Internal to the writer library.
//
// Samples of a few KiB are taken at spread-out places, the first at the
// start and the last at the end, so close together that any run of 1% of
// the entry holds one whole. Each is coded alone with the entry's method and
// compared with the same coder's cost for as many incompressible bytes (a
// fixed pseudo-random sequence), which carries the same table and start-up
// overhead. The entry counts as incompressible only when no sample codes 1%
// smaller than that. The plan and the verdict depend on the entry's bytes,
// size, method and the `best` option alone, never on threads or timing, so
// the archive stays the same for every thread count and machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "InstCompressPack/ArchiveWriter.h"

namespace kq::pack {

// Smaller entries are coded in full: their samples would be most of them.
inline constexpr int64_t kMinEstimatedSize = int64_t{2} << 20;

struct Sample {
    int64_t offset;
    size_t size;
};

// The samples of an entry of `size` bytes, ascending and apart; none below
// kMinEstimatedSize. They cover at most a quarter of the entry.
std::vector<Sample> PlanSamples(int64_t size);

// Codes samples with one method and judges them.
class ShrinkEstimate {
public:
    ShrinkEstimate(PackMethod method, bool best) : method_(method), best_(best) {}

    // True when `sample` codes at least 1% smaller than incompressible
    // bytes of its size: the entry is worth coding in full.
    bool Shrinks(std::span<const uint8_t> sample);

private:
    size_t CodedSize(std::span<const uint8_t> plain) const;

    PackMethod method_;
    bool best_;
    size_t referenceFor_ = 0;   // the sample size the reference cost is for
    size_t referenceSize_ = 0;  // coded size of that many incompressible bytes
};

}  // namespace kq::pack
