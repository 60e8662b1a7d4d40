// The decoder's rule "the previous byte becomes the token's first byte"
// decides which tokens may follow each other: a run token (0x94 N) repeats
// the first byte of the token before it, and itself leaves 0x94 as the
// previous byte. So a run of X (X != 0x94) is a literal X followed by one run
// token, repeated per 255 bytes; a run of 0x94 is one escaped marker followed
// by run tokens that can chain, since each leaves 0x94 behind.
#include "InstCompressPack/Encoders.h"

#include <algorithm>

namespace kq::pack {

namespace {
constexpr uint8_t kMarker = 0x94;
constexpr size_t kMaxRunCopies = 254;  // 0x94 0xFF repeats 254 times
constexpr size_t kReportEvery = size_t{1} << 20;
}  // namespace

std::vector<uint8_t> EncodeRle(std::span<const uint8_t> input, const EncodeProgress& progress) {
    std::vector<uint8_t> out;
    out.reserve(input.size() + input.size() / 8 + 16);
    uint8_t previous = 0;  // the decoder's previous byte
    size_t i = 0;
    size_t nextReport = kReportEvery;
    while (i < input.size()) {
        if (progress && i >= nextReport) {
            progress(i);
            nextReport = i + kReportEvery;
        }
        const uint8_t x = input[i];
        size_t run = 1;
        while (i + run < input.size() && input[i + run] == x) ++run;
        i += run;

        while (run > 0) {
            if (previous == x && run >= 3) {
                // Two bytes for up to 254 copies.
                const size_t copies = std::min(run, kMaxRunCopies);
                out.push_back(kMarker);
                out.push_back(static_cast<uint8_t>(copies + 1));
                run -= copies;
                previous = kMarker;
            } else if (x == kMarker) {
                out.push_back(kMarker);
                out.push_back(0);
                --run;
                previous = kMarker;
            } else {
                out.push_back(x);
                --run;
                previous = x;
            }
        }
    }
    if (progress) progress(input.size());
    return out;
}

}  // namespace kq::pack
