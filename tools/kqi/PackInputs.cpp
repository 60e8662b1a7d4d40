#include "tools/kqi/PackInputs.h"

#include <algorithm>
#include <filesystem>

#include "tools/kqi/Cli.h"

namespace kq::tools {

namespace fs = std::filesystem;

std::optional<PackSpec> ParsePackSpec(const std::string& spec, PackMethod defaultMethod) {
    const size_t equals = spec.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == spec.size()) return std::nullopt;
    PackSpec result{spec.substr(0, equals), spec.substr(equals + 1), defaultMethod};
    const size_t colon = result.path.rfind(':');
    if (colon != std::string::npos) {
        if (const auto method = ParsePackMethod(std::string_view(result.path).substr(colon + 1))) {
            result.method = *method;
            result.path.resize(colon);
        }
    }
    if (result.path.empty()) return std::nullopt;
    return result;
}

void AddPackInputs(const PackSpec& spec, std::vector<PackItem>& items) {
    std::error_code error;
    if (!fs::is_directory(spec.path, error)) {
        items.push_back(PackItem{spec.name, ReadWholeFile(spec.path), spec.method});
        return;
    }
    std::vector<std::string> relative;
    for (const auto& entry : fs::recursive_directory_iterator(spec.path)) {
        if (entry.is_regular_file()) {
            relative.push_back(fs::relative(entry.path(), spec.path).generic_string());
        }
    }
    std::sort(relative.begin(), relative.end());
    for (const std::string& rel : relative) {
        std::string name = spec.name + "\\" + rel;
        std::replace(name.begin() + static_cast<std::ptrdiff_t>(spec.name.size()), name.end(), '/', '\\');
        items.push_back(PackItem{name, ReadWholeFile((fs::path(spec.path) / rel).string()), spec.method});
    }
}

void AddPackSpecs(const std::vector<std::string>& specs, PackMethod defaultMethod, std::vector<PackItem>& items) {
    for (const std::string& spec : specs) {
        const auto parsed = ParsePackSpec(spec, defaultMethod);
        if (!parsed) throw UsageError("bad entry '" + spec + "': write NAME=PATH or NAME=PATH:METHOD");
        AddPackInputs(*parsed, items);
    }
}

}  // namespace kq::tools
