// LH5 encoder: not built yet.
#include <stdexcept>

#include "tools/kqi/Encoders.h"

namespace kq::tools {

std::vector<uint8_t> EncodeLh5(std::span<const uint8_t>, const EncodeProgress&) {
    throw std::runtime_error("method lh5 cannot be written by this build yet");
}

}  // namespace kq::tools
