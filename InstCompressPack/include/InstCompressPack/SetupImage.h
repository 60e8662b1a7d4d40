// Turns a launcher stub and an archive into one setup image: the stub with
// its marker field patched to the payload's offset, followed by the payload,
// the archive's 4-byte little-endian size and then the archive. The payload
// starts right behind the stub, unless the stub's size has 'X' as its low
// byte: a field starting with 'X' would read as unpatched, so one zero byte
// of padding goes between them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "InstCompressPack/PeResources.h"

namespace kq {
class TStream;
}

namespace kq::pack {

// Where the stub's marker field lies. Raises PackError for a stub without
// the marker, one already patched, or one too large for a payload offset.
int64_t CheckStub(TStream& stub);

struct SetupImageLayout {
    int64_t stubSize = 0;       // the launcher as written, with the setup's resources
    int64_t payloadOffset = 0;  // where the payload starts
};

// Streams the stub, patched, to `out`, then the payload, whose archive
// `writeArchive` writes to the stream it is given. The size field is filled
// in once the archive is written, so `out` must be able to seek back.
// With `resources`, a Windows stub first gets the setup's icon and version
// information (see ApplySetupResources); their errors, raised as PackError,
// come before anything is written.
SetupImageLayout WriteSetupImage(TStream& out, TStream& stub,
                                 const std::function<void(TStream& archive)>& writeArchive,
                                 const SetupResources& resources = {});

// Convenience for tests: the whole image in memory.
std::vector<uint8_t> BuildSetupImage(std::vector<uint8_t> stub, const std::vector<uint8_t>& archive,
                                     const SetupResources& resources = {});

}  // namespace kq::pack
