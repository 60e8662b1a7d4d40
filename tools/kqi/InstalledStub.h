// The launcher stubs installed with kqi, found from kqi's own location.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kq::tools {

struct InstalledStubs {
    // Where they are looked for, in this order: kqi's own folder, then the
    // package's stub folder (share/kqinstall beside bin/). Empty when kqi
    // cannot find itself.
    std::vector<std::string> folders;
    std::optional<std::string> stub;  // the Windows launcher, else the POSIX one
};

InstalledStubs FindInstalledStub();

}  // namespace kq::tools
