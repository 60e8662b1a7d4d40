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
//
// LH5 samples (the default parse) are first held against a floor: a size
// their code cannot go below, found without coding them. When the floor is
// already no more than 1% below the reference, the sample does not shrink,
// which is what coding it would have found; otherwise it is coded. So the
// floor changes no verdict, only what a verdict costs. The floor counts
// only what a block must spend on literals and on its header, in integers
// (1/65536ths of a bit, logarithms rounded down where they add and up where
// they subtract), from these facts of the sample coded alone:
// - A match of length L at p repeats bytes seen before, so each of p ..
//   p+L-3 starts a 3-byte group that occurs earlier in the sample. Marking
//   every such position and the two after it marks every byte a match can
//   take: the others are literals. With R such positions, the matches take
//   at most 2R more bytes than they have tokens (L-1 <= 2(L-2)).
// - Blocks end on multiples of kDefaultGrain tokens, so the k-th possible
//   end lies within bytes [k*grain, k*grain + 2R). The floor is the least,
//   over every choice of which possible ends are taken, of the blocks'
//   floors; the bytes where a taken end may lie are left out.
// - A block's floor, from its unmarked bytes (n of them, k distinct values,
//   the largest v): with one symbol only, 0. Else its code lengths are sent,
//   and either their code has one symbol, so every length up to v is the
//   same L with 2^L > v, and each literal costs L bits (n * bit_width(v) in
//   all); or each length sent costs a bit at least (k bits) on top of the
//   literals' n * H bits, H their entropy, below which no prefix code goes.
// Adding bytes to a block raises none of these, so leaving bytes out keeps
// the floor a floor.
#pragma once

#include <array>
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

    // Bytes the LH5 code of `sample` (the default parse) cannot go below;
    // 0 when none is found.
    uint64_t Lzh5Floor(std::span<const uint8_t> sample);

private:
    size_t CodedSize(std::span<const uint8_t> plain) const;
    // Marks the bytes matches could take (cover_) and returns how many
    // positions start a 3-byte group seen before.
    size_t MarkRepeats(std::span<const uint8_t> sample);
    int64_t BlockFloor(const std::array<uint32_t, 256>& counts);

    PackMethod method_;
    bool best_;
    size_t referenceFor_ = 0;      // the sample size the reference cost is for
    size_t referenceSize_ = 0;     // coded size of that many incompressible bytes
    std::vector<uint32_t> seen_;   // 3-byte groups by hash: group << 8 | stamp
    uint32_t stamp_ = 0;           // the current sample's stamp, 1 to 255
    std::vector<uint8_t> cover_;   // per byte: a match could take it
    std::vector<int64_t> xLogUp_;  // x log2 x rounded up, by x
};

}  // namespace kq::pack
