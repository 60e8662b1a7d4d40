// The resources of a Windows program image (PE32 or PE32+): the resource
// tree read into a list, the publisher's icon (.ico) and version information
// put in, and the resource section laid out anew.
//
// The new section keeps the old one's place in memory and in the file. The
// sections behind it move up or down as a whole; only discardable ones
// (.reloc, debug data) may lie there, since nothing in the image refers to
// them but the data directories, which move with them. The writer changes:
// the resource section's VirtualSize and SizeOfRawData, the moved sections'
// VirtualAddress and PointerToRawData, the data directories that point into
// them, the resource data directory, SizeOfImage, SizeOfInitializedData,
// PointerToSymbolTable when the file has a symbol table behind its sections,
// and the CheckSum.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kq::pack {

constexpr uint16_t kResourceIcon = 3;        // RT_ICON
constexpr uint16_t kResourceGroupIcon = 14;  // RT_GROUP_ICON
constexpr uint16_t kResourceVersion = 16;    // RT_VERSION
constexpr uint16_t kResourceManifest = 24;   // RT_MANIFEST

// A name in the resource tree: a number, or (when `text` is set) a UTF-16 string.
struct ResourceName {
    uint16_t id = 0;
    std::optional<std::u16string> text;
    friend bool operator==(const ResourceName&, const ResourceName&) = default;
};

// One leaf of the tree: type / name / language and the data.
struct Resource {
    ResourceName type;
    ResourceName name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
};

// The image's resources, in the tree's order. Raises PackError naming the
// reason when the tree cannot be read; an image without a resource
// directory has none.
std::vector<Resource> ReadResources(const std::vector<uint8_t>& image);

// One image of an .ico file and the fields of its directory entry.
struct IconImage {
    uint8_t width = 0;  // 0 means 256
    uint8_t height = 0;
    uint8_t colors = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    std::vector<uint8_t> data;  // a PNG file or a DIB without its file header
};

// The images of an .ico file. Raises PackError saying why it is none.
std::vector<IconImage> ParseIcon(const std::vector<uint8_t>& file);

using VersionNumber = std::array<uint16_t, 4>;

// "X.Y.Z" with one to four numbers of 0 to 65535; missing ones are 0.
std::optional<VersionNumber> ParseVersionNumber(std::string_view text);
std::string VersionText(const VersionNumber& version);

// The keys of the version strings, in the order they are written.
bool IsVersionKey(std::string_view key);
std::string_view VersionKeyList();  // "Comments, CompanyName, ..." for messages

// What a setup shows of itself. Empty: the stub's resources as they are.
struct SetupResources {
    std::vector<uint8_t> icon;  // the bytes of an .ico file, or nothing
    std::optional<VersionNumber> version;
    std::vector<std::pair<std::string, std::string>> strings;  // UTF-8 key and value; a later key wins
    std::string outputName;                                    // the setup's file name, for OriginalFilename

    bool Empty() const { return icon.empty() && !version && strings.empty(); }
    bool SetsVersion() const { return version || !strings.empty(); }
};

// The version strings as written: those given, FileVersion and
// ProductVersion from the version, FileDescription "<ProductName> Setup"
// and OriginalFilename the output's name unless given. In key order.
std::vector<std::pair<std::string, std::string>> VersionStrings(const SetupResources& resources);

// An RT_VERSION resource (VS_VERSIONINFO) for `resources`.
std::vector<uint8_t> BuildVersionInfo(const SetupResources& resources);

struct VersionInfo {
    VersionNumber fileVersion{};
    VersionNumber productVersion{};
    std::vector<std::pair<std::string, std::string>> strings;  // of the first string table, UTF-8
    std::string_view Find(std::string_view key) const;
};

// The version information of a VS_VERSIONINFO resource; nothing when it
// cannot be read.
std::optional<VersionInfo> ParseVersionInfo(const std::vector<uint8_t>& data);

// Where the sections of a program image end in its file, from a prefix of
// the file that holds its headers; nothing when the prefix shows no image.
std::optional<uint64_t> SectionsEnd(const std::vector<uint8_t>& headers);

// The version information of a program image, if it has any.
std::optional<VersionInfo> ReadVersionInfo(const std::vector<uint8_t>& image);

// The image with its resource section replaced by one holding `resources`.
// Raises PackError when the image's layout does not allow it.
std::vector<uint8_t> WriteResources(const std::vector<uint8_t>& image,
                                    const std::vector<Resource>& resources);

// The stub with the setup's icon and version information: the icon replaces
// every RT_ICON and RT_GROUP_ICON, the version information every RT_VERSION;
// everything else is kept. Raises PackError.
std::vector<uint8_t> ApplySetupResources(const std::vector<uint8_t>& image, const SetupResources& resources);

}  // namespace kq::pack
