// The LZH5 decoder alone, through the real pipeline.
#include "InstCompress/Decoders.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kq::fuzz::FuzzDecoder(data, size,
                          [](kq::CodecPipeline& pipe, int32_t expected) { kq::DecodeLzh5(pipe, expected); });
    return 0;
}
