// The payload locator on an in-memory image, and the archive view behind it.
#include "InstCompress/PayloadLocator.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kq::TSpanStream image(data, size);
    const int32_t offset = kq::LocatePayload(image);
    const auto archive = kq::LocatePayloadArchive(image);
    if (archive && (offset <= 0 || archive->start + archive->length > static_cast<int64_t>(size))) {
        __builtin_trap();  // the view must lie inside the image
    }
    return 0;
}
