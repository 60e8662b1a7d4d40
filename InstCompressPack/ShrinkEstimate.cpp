#include "InstCompressPack/ShrinkEstimate.h"

#include <algorithm>

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
    return uint64_t{CodedSize(sample)} * 100 < uint64_t{referenceSize_} * 99;
}

}  // namespace kq::pack
