// Private to the writer library: the whole-input encoder functions as a
// loop over their incremental form, so both give the same bytes by
// construction.
#pragma once

#include <algorithm>
#include <utility>

#include "InstCompressPack/Encoders.h"

namespace kq::pack {

template <typename MakeEncoder>
std::vector<uint8_t> EncodeWhole(std::span<const uint8_t> input, const EncodeProgress& progress,
                                 MakeEncoder make) {
    constexpr size_t kPiece = size_t{1} << 20;  // progress is told after each piece
    std::vector<uint8_t> coded;
    coded.reserve(input.size() / 2);
    auto encoder = make(
        [&coded](std::span<const uint8_t> piece) { coded.insert(coded.end(), piece.begin(), piece.end()); });
    for (size_t done = 0; done < input.size();) {
        const size_t n = std::min(kPiece, input.size() - done);
        encoder->Put(input.subspan(done, n));
        done += n;
        if (progress && done < input.size()) progress(done);
    }
    encoder->Finish();
    if (progress) progress(input.size());
    return coded;
}

}  // namespace kq::pack
