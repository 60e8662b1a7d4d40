// LZH1 decoder: not built yet; produces nothing.
#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"

namespace kq {

void DecodeLzh1(CodecPipeline&, int32_t) {}

}  // namespace kq
