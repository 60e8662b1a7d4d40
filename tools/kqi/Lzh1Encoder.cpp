// LZH1 encoder: not built yet.
#include <stdexcept>

#include "tools/kqi/Encoders.h"

namespace kq::tools {

std::vector<uint8_t> EncodeLzh1(std::span<const uint8_t>, const EncodeProgress&) {
    throw std::runtime_error("method lzh1 cannot be written by this build yet");
}

}  // namespace kq::tools
