// The whole-input encoder functions as a loop over their incremental form,
// so that both give the same bytes by construction.
#include "InstCompressPack/Encoders.h"

#include <algorithm>
#include <utility>

namespace kq::pack {

namespace {

std::vector<uint8_t> EncodeWhole(std::span<const uint8_t> input, const EncodeProgress& progress,
                                 const std::function<std::unique_ptr<EntryEncoder>(CodedSink)>& make) {
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

}  // namespace

std::vector<uint8_t> EncodeRle(std::span<const uint8_t> input, const EncodeProgress& progress) {
    return EncodeWhole(input, progress, MakeRleEncoder);
}

std::vector<uint8_t> EncodeLzh1(std::span<const uint8_t> input, const EncodeProgress& progress) {
    return EncodeWhole(input, progress, MakeLzh1Encoder);
}

std::vector<uint8_t> EncodeLzh5(std::span<const uint8_t> input, const EncodeOptions& options,
                                const EncodeProgress& progress) {
    return EncodeWhole(input, progress,
                       [&options](CodedSink sink) { return MakeLzh5Encoder(std::move(sink), options); });
}

std::vector<uint8_t> EncodeLzh5(std::span<const uint8_t> input, const EncodeProgress& progress) {
    return EncodeLzh5(input, EncodeOptions{}, progress);
}

}  // namespace kq::pack
