#include "InstCompressPack/SetupImage.h"

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompress/PayloadLocator.h"

namespace kq::pack {

std::vector<uint8_t> BuildSetupImage(std::vector<uint8_t> stub, const std::vector<uint8_t>& archive) {
    if (stub.size() > static_cast<size_t>(kMaxEntrySize) - 4 ||
        archive.size() > static_cast<size_t>(kMaxEntrySize) - 4 - stub.size()) {
        throw PackError("the setup would be larger than 2147483647 bytes, which the payload offset cannot describe");
    }
    TSpanStream view(stub.data(), stub.size());
    const auto field = FindMarkerField(view);
    if (!field) throw PackError("the stub carries no payload marker: not a launcher");
    const auto at = static_cast<size_t>(*field);
    if (at + kMarkerFieldLength > stub.size()) throw PackError("the stub's marker field is cut off");
    if (stub[at] != 'X') throw PackError("the stub's marker field is already patched: give the launcher itself, not a setup");

    const auto payloadOffset = static_cast<uint32_t>(stub.size());
    StoreLE32(stub.data() + at, payloadOffset);
    uint8_t sizeField[4];
    StoreLE32(sizeField, static_cast<uint32_t>(archive.size()));
    stub.insert(stub.end(), sizeField, sizeField + 4);
    stub.insert(stub.end(), archive.begin(), archive.end());
    return stub;
}

}  // namespace kq::pack
