// The methods an entry's method byte names, one row each. The writer keeps
// its encoders in a table keyed by the same bytes (InstCompressPack).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "InstCompress/Decoders.h"
#include "InstCompress/Exceptions.h"

namespace kq {

// Method index of an entry; values 5 to 255 name no method.
enum MethodIndex : uint8_t {
    kMethodStored = 0,
    kMethodRle = 1,
    kMethodLzh1 = 2,
    kMethodCustom = 3,
    kMethodLzh5 = 4,
};

// Expands an entry of `expandedSize` plain bytes through the pipeline.
using ExpandFunction = void (*)(CodecPipeline& pipe, int32_t expandedSize);

struct MethodInfo {
    MethodIndex byte;
    std::string_view id;       // the archive header's, 3 characters
    std::string_view cliName;  // kqi's --method; empty for a method kqi does not write
    ExpandFunction expand;     // none for stored entries and for those OnExpand expands
    const char* disabled;      // compress mode's refusal of a coded method
};

// Indexed by method byte.
inline constexpr std::array<MethodInfo, 5> kMethods = {{
    {kMethodStored, "NON", "none", nullptr, nullptr},
    {kMethodRle, "RLE", "rle", ExpandRle, msg::kRleDisabled},
    {kMethodLzh1, "LZH", "lzh1", DecodeLzh1, msg::kLzh1Disabled},
    {kMethodCustom, "CUS", "", nullptr, nullptr},
    {kMethodLzh5, "LH5", "lh5", DecodeLzh5, msg::kLzh5Disabled},
}};

static_assert([] {
    for (size_t i = 0; i < kMethods.size(); ++i) {
        if (kMethods[i].byte != i || kMethods[i].id.size() != 3) return false;
    }
    return true;
}());

// Method identifiers, indexed by method byte.
inline constexpr std::array<std::string_view, kMethods.size()> kMethodIds = [] {
    std::array<std::string_view, kMethods.size()> ids{};
    for (size_t i = 0; i < kMethods.size(); ++i) ids[i] = kMethods[i].id;
    return ids;
}();

// The row of `method`; nullptr for a byte that names no method.
constexpr const MethodInfo* FindMethod(uint8_t method) {
    return method < kMethods.size() ? &kMethods[method] : nullptr;
}

}  // namespace kq
