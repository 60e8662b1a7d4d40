// Turns a launcher stub and an archive into one setup image.
#pragma once

#include <cstdint>
#include <vector>

namespace kq::pack {

// The stub with its marker field patched to the stub's size, followed by the
// payload: the archive's 4-byte little-endian size, then the archive. Raises
// PackError for a stub without the marker or one already patched.
std::vector<uint8_t> BuildSetupImage(std::vector<uint8_t> stub, const std::vector<uint8_t>& archive);

}  // namespace kq::pack
