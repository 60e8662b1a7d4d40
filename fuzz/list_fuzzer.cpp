// The kqi list reader on an in-memory archive.
#include <cstdio>

#include "fuzz/FuzzSupport.h"
#include "tools/kqi/Commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::FILE* devNull = std::fopen("/dev/null", "w");
    kq::TSpanStream archive(data, size);
    try {
        kq::tools::ListArchive(archive, devNull);
    } catch (const kq::Exception&) {
    }
    return 0;
}
