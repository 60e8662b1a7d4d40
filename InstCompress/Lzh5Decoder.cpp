// LZH5 decoder: not built yet; produces nothing.
#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"

namespace kq {

void DecodeLzh5(CodecPipeline&, int32_t) {}

}  // namespace kq
