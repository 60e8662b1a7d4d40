// The whole expansion of a named entry from an in-memory archive. Input:
// 4 bytes key, 1 byte flags, 1 byte name length n, n bytes name, archive.
#include <cstdlib>

#include "InstCompress/InstCompress.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kq;
    if (size < 6) return 0;
    const int32_t key = fuzz::LoadSigned32(data);
    const uint8_t flags = data[4];
    const size_t nameLength = data[5];
    if (size < 6 + nameLength) return 0;
    const std::string name(reinterpret_cast<const char*>(data + 6), nameLength);
    const uint8_t* archive = data + 6 + nameLength;
    const size_t archiveSize = size - 6 - nameLength;

    TKQInstCompress component;
    component.Key = key;
    if (flags & 1) {
        component.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
    }
    // An abort fails the entry at once: the handler is never called after
    // answering -1, and the expansion cannot succeed.
    bool aborted = false;
    if (flags & 2) {
        int calls = 0;
        component.OnShowProgress = [calls, flags, &aborted](int32_t& percent) mutable {
            if (aborted) std::abort();
            if (++calls == (flags >> 4)) {
                percent = -1;
                aborted = true;
            }
        };
    }
    if (flags & 4) {
        // A custom decoder that copies what the entry says it stores.
        component.OnExpand = [](TStream& dest, TStream& source, int32_t sourceSize, int32_t,
                                const std::string&, uint32_t& checksum) {
            uint8_t buffer[512];
            int32_t left = sourceSize;
            while (left > 0) {
                const int32_t got = source.Read(buffer, left < 512 ? left : 512);
                if (got <= 0) break;
                dest.WriteBuffer(buffer, got);
                for (int32_t i = 0; i < got; ++i) checksum += buffer[i];
                left -= got;
            }
        };
    }
    TSpanStream source(archive, archiveSize);
    fuzz::CappedSink sink;
    try {
        component.ExpandNamedEntry(source, sink, name);
    } catch (const Exception&) {
        return 0;
    }
    if (aborted) std::abort();
    return 0;
}
