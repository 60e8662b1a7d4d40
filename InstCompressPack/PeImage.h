// Recognises a Windows program by its headers.
#pragma once

namespace kq {
class TStream;
}

namespace kq::pack {

// Whether `image` starts with an MZ header whose e_lfanew field points at a
// "PE\0\0" signature inside the file. Leaves the position at 0.
bool HasPeHeader(TStream& image);

}  // namespace kq::pack
