// The launcher stubs installed with kqi, found from kqi's own location.
#pragma once

#include <optional>
#include <string>

namespace kq::tools {

struct InstalledStubs {
    std::string folder;               // where they are looked for
    std::optional<std::string> stub;  // the Windows launcher, else the POSIX one
};

InstalledStubs FindInstalledStub();

}  // namespace kq::tools
