// Runs one decoder through a fresh pipeline, as the dispatcher would.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "InstCompress/CodecPipeline.h"

namespace kq::test {

struct DecodeResult {
    std::vector<uint8_t> output;
    int64_t sourcePosition;  // where the pipeline stopped fetching
};

// `decode(pipe)` runs the decoder; the output is flushed afterwards.
template <typename Decode>
DecodeResult RunDecoder(TStream& source, int32_t storedSize, Decode decode,
                        TShowProgressEvent progress = {}) {
    TMemoryStream dest;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &dest;
    setup.storedSize = storedSize;
    setup.progress = std::move(progress);
    CodecPipeline pipe(std::move(setup));
    decode(pipe);
    pipe.Flush();
    return {dest.Bytes(), source.Position()};
}

template <typename Decode>
DecodeResult RunDecoder(const std::vector<uint8_t>& stored, Decode decode, TShowProgressEvent progress = {}) {
    TMemoryStream source(stored);
    return RunDecoder(source, static_cast<int32_t>(stored.size()), decode, std::move(progress));
}

}  // namespace kq::test
