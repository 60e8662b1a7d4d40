// The resource writer on hostile input. The first byte picks the surface:
// even, the rest is a program image whose resource tree is read and whose
// resources get a fixed icon and version information; odd, the rest is an
// .ico file put into a fixed small image, and also read as a version
// resource. A refusal is a PackError; anything else is a fault.
#include <cstring>
#include <vector>

#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/PeResources.h"

namespace {

using kq::pack::PackError;

void Store32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A PE32 image of an empty resource section and a discardable one behind it.
std::vector<uint8_t> SmallImage() {
    std::vector<uint8_t> image(0x800, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Store32(image, 0x3C, 0x80);
    std::memcpy(image.data() + 0x80, "PE\0\0", 4);
    image[0x86] = 2;     // sections
    image[0x94] = 224;   // optional header size
    image[0x98] = 0x0B;  // PE32
    image[0x99] = 0x01;
    Store32(image, 0x98 + 32, 0x1000);
    Store32(image, 0x98 + 36, 0x200);
    Store32(image, 0x98 + 56, 0x3000);
    Store32(image, 0x98 + 92, 16);
    Store32(image, 0x98 + 96 + 16, 0x1000);
    Store32(image, 0x98 + 96 + 20, 16);
    const size_t table = 0x98 + 224;
    for (uint32_t i = 0; i < 2; ++i) {
        Store32(image, table + 40 * i + 8, 0x200);
        Store32(image, table + 40 * i + 12, 0x1000 * (i + 1));
        Store32(image, table + 40 * i + 16, 0x200);
        Store32(image, table + 40 * i + 20, 0x400 + 0x200 * i);
        Store32(image, table + 40 * i + 36, i == 0 ? 0xC0000040 : 0x42000040);
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::vector<uint8_t> rest(data + 1, data + size);
    kq::pack::SetupResources resources;
    resources.version = kq::pack::VersionNumber{1, 2, 3, 4};
    resources.strings = {{"ProductName", "Fuzz"}};
    resources.outputName = "setup.exe";
    try {
        if ((data[0] & 1) == 0) {
            kq::pack::ReadVersionInfo(rest);
            // A 1-pixel bitmap icon.
            resources.icon = {0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 32, 0, 48, 0, 0, 0, 22, 0, 0, 0};
            resources.icon.resize(22 + 48, 0);
            resources.icon[22] = 40;
            // A hostile layout may let the rewritten headers overlap
            // section data, so the result is read, not judged.
            kq::pack::ReadResources(kq::pack::ApplySetupResources(rest, resources));
        } else {
            kq::pack::ParseVersionInfo(rest);
            if (rest.empty()) return 0;  // no icon: nothing to put in
            resources.icon = rest;
            // Into a sound image: what the writer made must read back.
            const std::vector<uint8_t> out = kq::pack::ApplySetupResources(SmallImage(), resources);
            if (kq::pack::ReadResources(out).size() < 3) __builtin_trap();
        }
    } catch (const PackError&) {
    }
    return 0;
}
