#include "InstCompressPack/ShrinkEstimate.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "InstCompressPack/Lzh5Segment.h"

namespace kq::pack {

namespace {

constexpr int64_t kSamples = 128;
constexpr int64_t kMinSampleSize = 4 << 10;
constexpr int64_t kMaxSampleSize = 16 << 10;

// Incompressible bytes, the same everywhere (splitmix64).
std::vector<uint8_t> Incompressible(size_t size) {
    std::vector<uint8_t> out(size);
    uint64_t state = 0x6B71'5368'7269'6E6BULL;
    for (size_t i = 0; i < size; i += 8) {
        uint64_t z = (state += 0x9E37'79B9'7F4A'7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBULL;
        z ^= z >> 31;
        for (size_t k = 0; k < 8 && i + k < size; ++k) out[i + k] = static_cast<uint8_t>(z >> (8 * k));
    }
    return out;
}

constexpr int kFractionBits = 16;  // of a bit, in the floors

// log2(x) in 1/65536ths of a bit, rounded down or up, for x >= 1: the
// mantissa squared bit by bit, each square rounded the same way. Until a
// bit differs from the true one the bits are the true ones; the first that
// differs errs in the rounding's direction, and so does the result (up
// adds one unit for the bits beyond).
int64_t Log2Bound(uint32_t x, bool up) {
    const int whole = std::bit_width(x) - 1;
    uint64_t m = uint64_t{x} << (31 - whole);  // the mantissa, 31 fraction bits
    int64_t result = int64_t{whole} << kFractionBits;
    const uint64_t roundUp = up ? (uint64_t{1} << 31) - 1 : 0;
    for (int bit = kFractionBits - 1; bit >= 0; --bit) {
        m = (m * m + roundUp) >> 31;  // m < 2^32: no overflow
        if (m >= uint64_t{1} << 32) {
            m = up ? (m + 1) >> 1 : m >> 1;
            result |= int64_t{1} << bit;
        }
        if (m >= uint64_t{1} << 32) {  // 2 exactly (up only): every later bit is 1
            result |= (int64_t{1} << bit) - 1;
            break;
        }
    }
    return up ? result + 1 : result;
}

}  // namespace

std::vector<Sample> PlanSamples(int64_t size) {
    if (size < kMinEstimatedSize) return {};
    // 128 samples, in 1 KiB steps from 4 KiB (to 8 MiB entries) to 16 KiB (from
    // 32 MiB): a sample starts every 0.79% of the entry.
    const int64_t sampleSize = std::clamp(size / 2048 / 1024 * 1024, kMinSampleSize, kMaxSampleSize);
    std::vector<Sample> samples;
    samples.reserve(kSamples);
    for (int64_t i = 0; i < kSamples; ++i) {
        samples.push_back({i * (size - sampleSize) / (kSamples - 1), static_cast<size_t>(sampleSize)});
    }
    return samples;
}

size_t ShrinkEstimate::CodedSize(std::span<const uint8_t> plain) const {
    size_t size = 0;
    const auto encoder = MakeEncoder(
        method_, [&size](std::span<const uint8_t> coded) { size += coded.size(); }, EncodeOptions{best_, 1});
    encoder->Put(plain);
    encoder->Finish();
    return size;
}

bool ShrinkEstimate::Shrinks(std::span<const uint8_t> sample) {
    if (method_ == PackMethod::None) return false;
    if (referenceFor_ != sample.size()) {
        referenceSize_ = CodedSize(Incompressible(sample.size()));
        referenceFor_ = sample.size();
    }
    const uint64_t least = uint64_t{referenceSize_} * 99;  // a size * 100 below this shrinks
    if (method_ == PackMethod::Lzh5 && !best_ && Lzh5Floor(sample) * 100 >= least) return false;
    return uint64_t{CodedSize(sample)} * 100 < least;
}

size_t ShrinkEstimate::MarkRepeats(std::span<const uint8_t> sample) {
    const size_t slots = std::bit_ceil(std::max<size_t>(2 * sample.size(), 64));
    if (seen_.size() != slots) {
        seen_.assign(slots, 0);
        stamp_ = 0;
    }
    if (++stamp_ == 256) {  // every stamp used: clear the table
        std::fill(seen_.begin(), seen_.end(), 0u);
        stamp_ = 1;
    }
    cover_.assign(sample.size(), 0);
    const int shift = 32 - std::countr_zero(slots);
    size_t repeats = 0;
    for (size_t p = 0; p + 3 <= sample.size(); ++p) {
        const uint32_t group =
            uint32_t{sample[p]} | uint32_t{sample[p + 1]} << 8 | uint32_t{sample[p + 2]} << 16;
        // Fewer groups than half the slots: a free slot always comes.
        for (size_t h = (group * 0x9E37'79B1u) >> shift;; h = (h + 1) & (slots - 1)) {
            const uint32_t entry = seen_[h];
            if ((entry & 0xFF) != stamp_) {
                seen_[h] = group << 8 | stamp_;
                break;
            }
            if (entry >> 8 == group) {
                ++repeats;
                cover_[p] = cover_[p + 1] = cover_[p + 2] = 1;
                break;
            }
        }
    }
    return repeats;
}

int64_t ShrinkEstimate::BlockFloor(const std::array<uint32_t, 256>& counts) {
    int64_t n = 0;
    int64_t distinct = 0;
    int largest = 0;
    int64_t subtract = 0;  // the sum of c log2 c over the counts c, rounded up
    for (int v = 0; v < 256; ++v) {
        const uint32_t c = counts[v];
        if (c == 0) continue;
        if (xLogUp_.size() <= c) {
            const size_t from = xLogUp_.size();
            xLogUp_.resize(std::max<size_t>(c + 1, 2 * from));
            for (size_t x = std::max<size_t>(from, 1); x < xLogUp_.size(); ++x) {
                xLogUp_[x] = static_cast<int64_t>(x) * Log2Bound(static_cast<uint32_t>(x), true);
            }
        }
        n += c;
        ++distinct;
        largest = v;
        subtract += xLogUp_[c];
    }
    if (distinct < 2) return 0;
    const int64_t entropy = std::max<int64_t>(0, n * Log2Bound(static_cast<uint32_t>(n), false) - subtract);
    const int64_t sameLengths = n * std::bit_width(static_cast<unsigned>(largest)) << kFractionBits;
    return std::min(sameLengths, entropy + (distinct << kFractionBits));
}

uint64_t ShrinkEstimate::Lzh5Floor(std::span<const uint8_t> sample) {
    constexpr size_t kGrain = lzh5::kDefaultGrain;
    constexpr size_t kMaxEnds = 3;  // 2^3 choices of ends taken
    if (sample.empty()) return 0;
    const size_t ends = (sample.size() - 1) / kGrain;  // possible block ends
    if (ends > kMaxEnds) return 0;
    const size_t spread = 2 * MarkRepeats(sample);  // how far past k * grain end k may lie
    if (ends > 0 && spread >= kGrain) return 0;
    // The unmarked bytes of the parts between the ends (piece k) and of
    // where end k may lie (span k).
    std::array<std::array<uint32_t, 256>, kMaxEnds + 1> piece{};
    std::array<std::array<uint32_t, 256>, kMaxEnds + 1> span{};
    auto count = [&](std::array<uint32_t, 256>& counts, size_t from, size_t to) {
        for (size_t i = from; i < std::min(to, sample.size()); ++i) counts[sample[i]] += cover_[i] == 0;
    };
    for (size_t k = 0; k <= ends; ++k) {
        const size_t from = k == 0 ? 0 : k * kGrain + spread;
        count(piece[k], from, k == ends ? sample.size() : (k + 1) * kGrain);
        if (k > 0) count(span[k], k * kGrain, from);
    }
    // floor[i][j]: a block from piece i to piece j, the spans between them inside it.
    std::array<std::array<int64_t, kMaxEnds + 1>, kMaxEnds + 1> floor{};
    for (size_t i = 0; i <= ends; ++i) {
        std::array<uint32_t, 256> counts{};
        for (size_t j = i; j <= ends; ++j) {
            for (int v = 0; v < 256; ++v) counts[v] += piece[j][v] + (j > i ? span[j][v] : 0);
            floor[i][j] = BlockFloor(counts);
        }
    }
    int64_t least = std::numeric_limits<int64_t>::max();
    for (uint32_t taken = 0; taken < (uint32_t{1} << ends); ++taken) {  // bit k - 1: end k taken
        int64_t bits = 0;
        size_t first = 0;
        for (size_t k = 1; k <= ends + 1; ++k) {
            if (k == ends + 1 || (taken >> (k - 1) & 1) != 0) {
                bits += floor[first][k - 1];
                first = k;
            }
        }
        least = std::min(least, bits);
    }
    // Whole bytes: a size is at least the floor rounded up.
    constexpr int64_t kByte = int64_t{8} << kFractionBits;
    return static_cast<uint64_t>((least + kByte - 1) / kByte);
}

}  // namespace kq::pack
