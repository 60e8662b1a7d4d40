// Turns NAME=PATH[:METHOD] arguments into archive items.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/kqi/Cli.h"

namespace kq::tools {

struct PackSpec {
    std::string name;
    std::string path;
    PackMethod method;
};

// Splits NAME=PATH[:METHOD]; the suffix counts as a method only when it
// names one, so paths with colons still work.
std::optional<PackSpec> ParsePackSpec(const std::string& spec, PackMethod defaultMethod);

// Appends the file, or a folder's files in sorted order, to `items`.
void AddPackInputs(const PackSpec& spec, std::vector<PackItem>& items);

// Parses every NAME=PATH[:METHOD] argument and appends its items; a
// malformed one is a usage error.
void AddPackSpecs(const std::vector<std::string>& specs, PackMethod defaultMethod, std::vector<PackItem>& items);

}  // namespace kq::tools
