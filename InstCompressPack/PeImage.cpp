#include "InstCompressPack/PeImage.h"

#include <array>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Stream.h"

namespace kq::pack {

bool HasPeHeader(TStream& image) {
    constexpr int64_t kNewHeaderField = 0x3C;
    const int64_t size = image.Size();
    std::array<uint8_t, 64> dos{};
    image.SetPosition(0);
    const bool ok = [&] {
        if (size < static_cast<int64_t>(dos.size())) return false;
        image.ReadBuffer(dos.data(), static_cast<int32_t>(dos.size()));
        if (dos[0] != 'M' || dos[1] != 'Z') return false;
        const int64_t at = LoadLE32(dos.data() + kNewHeaderField);
        if (at < kNewHeaderField + 4 || at > size - 4) return false;
        std::array<uint8_t, 4> signature{};
        image.SetPosition(at);
        image.ReadBuffer(signature.data(), 4);
        return signature == std::array<uint8_t, 4>{'P', 'E', 0, 0};
    }();
    image.SetPosition(0);
    return ok;
}

}  // namespace kq::pack
