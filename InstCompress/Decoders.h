// The built-in decoders; each reads and writes only through the pipeline.
#pragma once

#include <cstdint>

namespace kq {

class CodecPipeline;

// Run-length code with marker 0x94; runs until the stored data is used up.
void DecodeRle(CodecPipeline& pipe);

}  // namespace kq
