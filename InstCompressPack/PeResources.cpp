#include "InstCompressPack/PeResources.h"

#include <algorithm>
#include <cstring>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/PeImage.h"

namespace kq::pack {

namespace {

// ---------------------------------------------------------------- the image's headers

constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;  // a file offset, not an address
constexpr uint32_t kDebugDirectory = 6;
constexpr uint32_t kDiscardable = 0x02000000;  // IMAGE_SCN_MEM_DISCARDABLE
constexpr size_t kMaxResources = 1 << 16;
constexpr size_t kDebugEntrySize = 28;

bool Fits(size_t size, uint64_t at, uint64_t length) {
    return at <= size && length <= size - at;
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return static_cast<uint32_t>((static_cast<uint64_t>(value) + alignment - 1) / alignment * alignment);
}

struct Section {
    std::string name;
    size_t headerAt = 0;
    uint32_t virtualSize = 0;
    uint32_t address = 0;
    uint32_t rawSize = 0;
    uint32_t rawAt = 0;
    uint32_t flags = 0;
    uint64_t End() const { return static_cast<uint64_t>(address) + std::max(virtualSize, rawSize); }
};

struct Headers {
    size_t coff = 0;
    size_t optional = 0;
    size_t directories = 0;  // file offset of data directory 0
    uint32_t directoryCount = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    std::vector<Section> sections;

    size_t DirectoryAt(uint32_t index) const { return directories + size_t{8} * index; }
};

Headers ReadHeaders(const std::vector<uint8_t>& image) {
    const auto layout = ReadPeLayout(image);
    if (!layout) throw PackError("not a PE32 or PE32+ image");
    Headers h;
    h.coff = LoadLE32(image.data() + 0x3C) + size_t{4};
    const size_t optionalSize = LoadLE16(image.data() + h.coff + 16);
    h.optional = h.coff + kCoffHeaderSize;
    const size_t countAt = layout->kind == PeKind::Pe32Plus ? 108 : 92;
    h.directories = h.optional + countAt + 4;
    h.directoryCount = std::min<uint32_t>(LoadLE32(image.data() + h.optional + countAt),
                                          static_cast<uint32_t>((optionalSize - countAt - 4) / 8));
    h.sectionAlignment = LoadLE32(image.data() + h.optional + 32);
    h.fileAlignment = LoadLE32(image.data() + h.optional + 36);
    if (h.sectionAlignment == 0 || h.fileAlignment == 0 || h.sectionAlignment > (1u << 28) ||
        h.fileAlignment > (1u << 28)) {
        throw PackError("the image's section or file alignment is unusable");
    }
    const size_t count = LoadLE16(image.data() + h.coff + 2);
    const size_t table = h.optional + optionalSize;
    if (!Fits(image.size(), table, count * kSectionHeaderSize))
        throw PackError("the section table is cut off");
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = image.data() + table + i * kSectionHeaderSize;
        Section s;
        s.name.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), 8));
        s.headerAt = table + i * kSectionHeaderSize;
        s.virtualSize = LoadLE32(p + 8);
        s.address = LoadLE32(p + 12);
        s.rawSize = LoadLE32(p + 16);
        s.rawAt = LoadLE32(p + 20);
        s.flags = LoadLE32(p + 36);
        h.sections.push_back(s);
    }
    return h;
}

// The file offset of `size` bytes at `rva`, when they lie in a section's file data.
std::optional<size_t> FileOffsetOf(const Headers& h, size_t imageSize, uint32_t rva, uint32_t size) {
    for (const Section& s : h.sections) {
        if (rva < s.address) continue;
        const uint64_t within = rva - s.address;
        if (within + size > s.rawSize || !Fits(imageSize, static_cast<uint64_t>(s.rawAt) + within, size))
            continue;
        return static_cast<size_t>(s.rawAt + within);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- text

std::optional<std::u16string> Utf16From(std::string_view utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const size_t length = c < 0x80                ? 1
                              : c >= 0xC2 && c < 0xE0 ? 2
                              : c >= 0xE0 && c < 0xF0 ? 3
                              : c >= 0xF0 && c < 0xF5 ? 4
                                                      : 0;
        if (length == 0 || i + length > utf8.size()) return std::nullopt;
        uint32_t code = length == 1 ? c : c & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            code = code << 6 | (next & 0x3Fu);
        }
        const uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return std::nullopt;
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += length;
    }
    return out;
}

std::string Utf8From(std::u16string_view utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t code = utf16[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::u16string Ascii16(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

// ---------------------------------------------------------------- reading the tree

class TreeReader {
public:
    TreeReader(const std::vector<uint8_t>& image, const Headers& h, size_t start, size_t limit)
        : image_(image), headers_(h), start_(start), limit_(limit) {}

    void Read(std::vector<Resource>& out) {
        Resource path;
        Directory(0, 0, path, out);
    }

private:
    const uint8_t* At(uint32_t offset, size_t length, const char* what) const {
        if (!Fits(limit_, offset, length))
            throw PackError(std::string("the resource tree's ") + what + " lies outside its section");
        return image_.data() + start_ + offset;
    }

    ResourceName Name(uint32_t field) const {
        ResourceName name;
        if (field & 0x80000000u) {
            const uint32_t at = field & 0x7FFFFFFFu;
            const size_t length = LoadLE16(At(at, 2, "name"));
            const uint8_t* p = At(at, 2 + 2 * length, "name");
            std::u16string text;
            for (size_t i = 0; i < length; ++i) text += static_cast<char16_t>(LoadLE16(p + 2 + 2 * i));
            name.text = std::move(text);
        } else if (field > 0xFFFF) {
            throw PackError("the resource tree has an ID beyond 65535");
        } else {
            name.id = static_cast<uint16_t>(field);
        }
        return name;
    }

    void Directory(uint32_t offset, int level, Resource& path, std::vector<Resource>& out) {
        const uint8_t* dir = At(offset, 16, "directory");
        const size_t entries = size_t{LoadLE16(dir + 12)} + LoadLE16(dir + 14);
        At(offset, 16 + 8 * entries, "directory");
        for (size_t i = 0; i < entries; ++i) {
            if (++visited_ > kMaxResources) throw PackError("the resource tree has more than 65536 entries");
            const uint8_t* entry = image_.data() + start_ + offset + 16 + 8 * i;
            const uint32_t nameField = LoadLE32(entry);
            const uint32_t target = LoadLE32(entry + 4);
            const bool subdirectory = (target & 0x80000000u) != 0;
            if (subdirectory != (level < 2)) {
                throw PackError(level < 2 ? "the resource tree has data where a directory belongs"
                                          : "the resource tree is deeper than type, name and language");
            }
            if (level == 0) {
                path.type = Name(nameField);
            } else if (level == 1) {
                path.name = Name(nameField);
            } else {
                const ResourceName language = Name(nameField);
                if (language.text) throw PackError("the resource tree names a language by a string");
                path.language = language.id;
            }
            if (subdirectory) {
                Directory(target & 0x7FFFFFFFu, level + 1, path, out);
                continue;
            }
            const uint8_t* data = At(target, 16, "data entry");
            const uint32_t rva = LoadLE32(data);
            const uint32_t size = LoadLE32(data + 4);
            const auto at = FileOffsetOf(headers_, image_.size(), rva, size);
            if (!at) throw PackError("a resource's data lies outside the image's sections");
            // Resources never share their data: a tree that says otherwise
            // could make a few bytes claim gigabytes.
            copied_ += size;
            if (copied_ > image_.size()) throw PackError("the resource tree's data overlap");
            path.codePage = LoadLE32(data + 8);
            path.data.assign(image_.begin() + static_cast<std::ptrdiff_t>(*at),
                             image_.begin() + static_cast<std::ptrdiff_t>(*at + size));
            out.push_back(path);
        }
    }

    const std::vector<uint8_t>& image_;
    const Headers& headers_;
    size_t start_;
    size_t limit_;
    size_t visited_ = 0;
    uint64_t copied_ = 0;
};

// The section that holds the resource tree, or nothing when there is none.
const Section* ResourceSection(const std::vector<uint8_t>& image, const Headers& h) {
    if (h.directoryCount <= kResourceDirectory) return nullptr;
    const uint32_t rva = LoadLE32(image.data() + h.DirectoryAt(kResourceDirectory));
    if (rva == 0) return nullptr;
    for (const Section& s : h.sections) {
        if (s.address == rva) return &s;
    }
    throw PackError("the resource directory does not start a section");
}

// ---------------------------------------------------------------- laying the tree out

bool NameLess(const ResourceName& a, const ResourceName& b) {
    if (a.text.has_value() != b.text.has_value()) return a.text.has_value();  // names before IDs
    return a.text ? *a.text < *b.text : a.id < b.id;
}

std::vector<uint8_t> BuildSection(std::vector<Resource> resources, uint32_t sectionAddress) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type)) return NameLess(a.type, b.type);
        if (!(a.name == b.name)) return NameLess(a.name, b.name);
        return a.language < b.language;
    });
    // Directories by level: the root, one per type, one per name.
    struct Dir {
        std::vector<size_t> children;  // entries: indices into `dirs` (levels 0, 1) or `resources` (level 2)
        size_t first = 0;              // the first resource below
        uint32_t at = 0;
    };
    std::vector<Dir> dirs(1);
    std::vector<size_t> typeDirs;
    std::vector<size_t> nameDirs;
    std::vector<bool> holdsLeaves(1, false);
    for (size_t i = 0; i < resources.size(); ++i) {
        const bool newType = i == 0 || !(resources[i].type == resources[i - 1].type);
        if (newType) {
            typeDirs.push_back(dirs.size());
            dirs[0].children.push_back(dirs.size());
            dirs.push_back({{}, i, 0});
            holdsLeaves.push_back(false);
        }
        if (newType || !(resources[i].name == resources[i - 1].name)) {
            nameDirs.push_back(dirs.size());
            dirs[typeDirs.back()].children.push_back(dirs.size());
            dirs.push_back({{}, i, 0});
            holdsLeaves.push_back(true);
        } else if (resources[i].language == resources[i - 1].language) {
            throw PackError("two resources of the same type, name and language");
        }
        dirs[nameDirs.back()].children.push_back(i);
    }
    uint64_t cursor = 0;
    auto place = [&](size_t d) {
        dirs[d].at = static_cast<uint32_t>(cursor);
        cursor += 16 + 8 * dirs[d].children.size();
    };
    place(0);
    for (size_t d : typeDirs) place(d);
    for (size_t d : nameDirs) place(d);
    const uint64_t entriesAt = cursor;
    cursor += 16 * resources.size();
    // Name strings, each once per directory that uses it.
    std::vector<std::pair<const std::u16string*, uint32_t>> strings;
    auto placeString = [&](const ResourceName& name) -> uint32_t {
        if (!name.text) return name.id;
        strings.emplace_back(&*name.text, static_cast<uint32_t>(cursor));
        cursor += 2 + 2 * name.text->size();
        return 0x80000000u | static_cast<uint32_t>(cursor - 2 - 2 * name.text->size());
    };
    std::vector<uint32_t> nameFieldOf(dirs.size(), 0);
    for (size_t d : typeDirs) nameFieldOf[d] = placeString(resources[dirs[d].first].type);
    for (size_t d : nameDirs) nameFieldOf[d] = placeString(resources[dirs[d].first].name);
    std::vector<uint32_t> dataAt(resources.size());
    for (size_t i = 0; i < resources.size(); ++i) {
        cursor = (cursor + 7) / 8 * 8;
        dataAt[i] = static_cast<uint32_t>(cursor);
        cursor += resources[i].data.size();
        if (cursor > 0x7FFFFFFF) throw PackError("the resources would be larger than 2 GiB");
    }
    cursor = (cursor + 7) / 8 * 8;
    std::vector<uint8_t> out(static_cast<size_t>(cursor), 0);
    for (size_t d = 0; d < dirs.size(); ++d) {
        uint8_t* p = out.data() + dirs[d].at;
        const bool leaves = holdsLeaves[d];
        uint16_t named = 0;
        for (size_t i = 0; i < dirs[d].children.size(); ++i) {
            const size_t child = dirs[d].children[i];
            uint8_t* entry = p + 16 + 8 * i;
            if (leaves) {
                StoreLE32(entry, resources[child].language);
                StoreLE32(entry + 4, static_cast<uint32_t>(entriesAt + 16 * child));
            } else {
                if (nameFieldOf[child] & 0x80000000u) ++named;
                StoreLE32(entry, nameFieldOf[child]);
                StoreLE32(entry + 4, 0x80000000u | dirs[child].at);
            }
        }
        StoreLE16(p + 12, named);
        StoreLE16(p + 14, static_cast<uint16_t>(dirs[d].children.size() - named));
    }
    for (const auto& [text, at] : strings) {
        StoreLE16(out.data() + at, static_cast<uint16_t>(text->size()));
        for (size_t k = 0; k < text->size(); ++k) StoreLE16(out.data() + at + 2 + 2 * k, (*text)[k]);
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        uint8_t* entry = out.data() + entriesAt + 16 * i;
        StoreLE32(entry, sectionAddress + dataAt[i]);
        StoreLE32(entry + 4, static_cast<uint32_t>(resources[i].data.size()));
        StoreLE32(entry + 8, resources[i].codePage);
        std::copy(resources[i].data.begin(), resources[i].data.end(), out.begin() + dataAt[i]);
    }
    return out;
}

// ---------------------------------------------------------------- version information

constexpr std::array<std::string_view, 12> kVersionKeys = {
    "Comments",     "CompanyName",    "FileDescription", "FileVersion",
    "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
    "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild"};

struct Block {
    std::u16string key;
    std::vector<uint8_t> value;
    uint16_t valueLength = 0;
    uint16_t type = 1;  // 1 text, 0 binary
    std::vector<Block> children;
};

void Pad4(std::vector<uint8_t>& out) {
    out.resize((out.size() + 3) / 4 * 4, 0);
}

void Serialize(const Block& block, std::vector<uint8_t>& out) {
    const size_t start = out.size();
    out.resize(start + 6, 0);
    for (char16_t c : block.key) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.insert(out.end(), {0, 0});
    Pad4(out);
    out.insert(out.end(), block.value.begin(), block.value.end());
    for (const Block& child : block.children) {
        Pad4(out);
        Serialize(child, out);
    }
    if (out.size() - start > 0xFFFF)
        throw PackError("the version strings are too long: the version resource holds at most 64 KiB");
    StoreLE16(out.data() + start, static_cast<uint16_t>(out.size() - start));
    StoreLE16(out.data() + start + 2, block.valueLength);
    StoreLE16(out.data() + start + 4, block.type);
}

Block TextBlock(std::string_view key, const std::u16string& value) {
    Block b{Ascii16(key), {}, static_cast<uint16_t>(std::min<size_t>(value.size() + 1, 0xFFFF)), 1, {}};
    for (char16_t c : value) {
        b.value.push_back(static_cast<uint8_t>(c & 0xFF));
        b.value.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.value.insert(b.value.end(), {0, 0});
    return b;
}

// A block of a version resource, read with every length checked.
struct ParsedBlock {
    std::u16string key;
    size_t valueAt = 0;
    size_t end = 0;  // of the block
    std::vector<size_t> children;
};

std::optional<ParsedBlock> ParseBlock(const std::vector<uint8_t>& data, size_t at, size_t limit,
                                      bool fixedValue) {
    if (!Fits(limit, at, 6)) return std::nullopt;
    const size_t length = LoadLE16(data.data() + at);
    if (length < 6 || !Fits(limit, at, length)) return std::nullopt;
    ParsedBlock block;
    block.end = at + length;
    size_t p = at + 6;
    for (;; p += 2) {
        if (p + 2 > block.end) return std::nullopt;
        const char16_t c = LoadLE16(data.data() + p);
        if (c == 0) break;
        block.key += c;
    }
    p = (p + 2 + 3) / 4 * 4;
    block.valueAt = p;
    if (fixedValue) p += LoadLE16(data.data() + at + 2);  // a binary value's length is in bytes
    // Children follow the value; text values are never followed by any here.
    if (fixedValue || LoadLE16(data.data() + at + 2) == 0) {
        for (p = (p + 3) / 4 * 4; p + 6 <= block.end;) {
            const size_t childLength = LoadLE16(data.data() + p);
            if (childLength < 6 || p + childLength > block.end) break;
            block.children.push_back(p);
            p = (p + childLength + 3) / 4 * 4;
        }
    }
    return block;
}

std::u16string TextAt(const std::vector<uint8_t>& data, size_t at, size_t end) {
    std::u16string text;
    for (; at + 2 <= end; at += 2) {
        const char16_t c = LoadLE16(data.data() + at);
        if (c == 0) break;
        text += c;
    }
    return text;
}

VersionNumber FromWords(uint32_t ms, uint32_t ls) {
    return {static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms & 0xFFFF),
            static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls & 0xFFFF)};
}

}  // namespace

// ---------------------------------------------------------------- public

std::vector<Resource> ReadResources(const std::vector<uint8_t>& image) {
    const Headers h = ReadHeaders(image);
    const Section* s = ResourceSection(image, h);
    std::vector<Resource> resources;
    if (s == nullptr) return resources;
    if (!Fits(image.size(), s->rawAt, s->rawSize)) throw PackError("the resource section is cut off");
    TreeReader(image, h, s->rawAt, s->rawSize).Read(resources);
    return resources;
}

std::vector<IconImage> ParseIcon(const std::vector<uint8_t>& file) {
    if (file.size() < 6)
        throw PackError("not an .ico file: " + std::to_string(file.size()) +
                        " bytes are too few for its header");
    const uint16_t type = LoadLE16(file.data() + 2);
    if (LoadLE16(file.data()) != 0 || (type != 1 && type != 2))
        throw PackError("not an .ico file (no icon header)");
    if (type == 2) throw PackError("a cursor (.cur), not an icon");
    const size_t count = LoadLE16(file.data() + 4);
    if (count == 0) throw PackError("the icon holds no image");
    const size_t directoryEnd = 6 + 16 * count;
    if (directoryEnd > file.size()) {
        throw PackError("the image directory is truncated: " + std::to_string(count) + " images need " +
                        std::to_string(directoryEnd) + " bytes, the file has " + std::to_string(file.size()));
    }
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = file.data() + 6 + 16 * i;
        const uint32_t size = LoadLE32(e + 8);
        const uint32_t offset = LoadLE32(e + 12);
        const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
        if (!Fits(file.size(), offset, size) || size == 0) {
            throw PackError(which + " (" + std::to_string(size) + " bytes at offset " +
                            std::to_string(offset) + ") lies outside the file (" +
                            std::to_string(file.size()) + " bytes)");
        }
        if (offset < directoryEnd) throw PackError(which + " overlaps the image directory");
        static constexpr uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        const uint8_t* data = file.data() + offset;
        const bool png = size >= 8 && std::memcmp(data, kPng, 8) == 0;
        const bool dib = size >= 40 && LoadLE32(data) == 40;
        if (!png && !dib) throw PackError(which + " is neither a PNG image nor a bitmap");
        IconImage image{e[0], e[1], e[2], LoadLE16(e + 4), LoadLE16(e + 6), {data, data + size}};
        if (dib && image.bitCount == 0) {
            image.planes = LoadLE16(data + 12);
            image.bitCount = LoadLE16(data + 14);
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::optional<VersionNumber> ParseVersionNumber(std::string_view text) {
    VersionNumber version{};
    size_t part = 0;
    size_t at = 0;
    while (true) {
        if (part == 4 || at >= text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
        uint32_t value = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
            if (value > 0xFFFF) return std::nullopt;
        }
        version[part++] = static_cast<uint16_t>(value);
        if (at == text.size()) return version;
        if (text[at++] != '.') return std::nullopt;
    }
}

std::string VersionText(const VersionNumber& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

bool IsVersionKey(std::string_view key) {
    return std::find(kVersionKeys.begin(), kVersionKeys.end(), key) != kVersionKeys.end();
}

std::string_view VersionKeyList() {
    return "Comments, CompanyName, FileDescription, FileVersion, InternalName, LegalCopyright, "
           "LegalTrademarks, "
           "OriginalFilename, PrivateBuild, ProductName, ProductVersion, SpecialBuild";
}

std::vector<std::pair<std::string, std::string>> VersionStrings(const SetupResources& r) {
    auto given = [&](std::string_view key) -> const std::string* {
        const std::string* value = nullptr;
        for (const auto& [k, v] : r.strings) {
            if (k == key) value = &v;
        }
        return value;
    };
    std::vector<std::pair<std::string, std::string>> out;
    for (std::string_view key : kVersionKeys) {
        std::optional<std::string> value;
        if (const std::string* v = given(key)) {
            value = *v;
        } else if ((key == "FileVersion" || key == "ProductVersion") && r.version) {
            // Three numbers, the fourth only when it is not 0: "2.1" reads
            // "2.1.0", "2.1.0.7" stays.
            const VersionNumber& number = *r.version;
            size_t shown = 4;
            while (shown > 3 && number[shown - 1] == 0) --shown;
            std::string text = std::to_string(number[0]);
            for (size_t i = 1; i < shown; ++i) text += "." + std::to_string(number[i]);
            value = text;
        } else if (key == "FileDescription" && given("ProductName")) {
            value = *given("ProductName") + " Setup";
        } else if (key == "OriginalFilename" && !r.outputName.empty()) {
            value = r.outputName;
        }
        if (value) out.emplace_back(std::string(key), *value);
    }
    return out;
}

std::vector<uint8_t> BuildVersionInfo(const SetupResources& r) {
    for (const auto& [key, value] : r.strings) {
        if (!IsVersionKey(key))
            throw PackError("unknown version string " + key + "; known are " + std::string(VersionKeyList()));
    }
    const VersionNumber v = r.version.value_or(VersionNumber{});
    const uint32_t ms = static_cast<uint32_t>(v[0]) << 16 | v[1];
    const uint32_t ls = static_cast<uint32_t>(v[2]) << 16 | v[3];
    uint32_t flags = 0;
    Block table{u"040904B0", {}, 0, 1, {}};
    for (const auto& [key, value] : VersionStrings(r)) {
        const auto text = Utf16From(value);
        if (!text) throw PackError("the version string " + key + " is not UTF-8");
        if (key == "PrivateBuild") flags |= 0x08;  // VS_FF_PRIVATEBUILD
        if (key == "SpecialBuild") flags |= 0x20;  // VS_FF_SPECIALBUILD
        table.children.push_back(TextBlock(key, *text));
    }
    std::vector<uint8_t> fixed(52, 0);
    const uint32_t fields[13] = {0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, flags, 0x00040004, 1, 0, 0, 0};
    for (size_t i = 0; i < 13; ++i) StoreLE32(fixed.data() + 4 * i, fields[i]);
    Block root{u"VS_VERSION_INFO", fixed, 52, 0, {}};
    root.children.push_back(Block{u"StringFileInfo", {}, 0, 1, {table}});
    Block translation{u"Translation", {0x09, 0x04, 0xB0, 0x04}, 4, 0, {}};  // US English, UTF-16
    root.children.push_back(Block{u"VarFileInfo", {}, 0, 1, {translation}});
    std::vector<uint8_t> out;
    Serialize(root, out);
    return out;
}

std::string_view VersionInfo::Find(std::string_view key) const {
    for (const auto& [k, v] : strings) {
        if (k == key) return v;
    }
    return {};
}

std::optional<VersionInfo> ParseVersionInfo(const std::vector<uint8_t>& data) {
    const auto root = ParseBlock(data, 0, data.size(), true);
    if (!root || root->key != u"VS_VERSION_INFO" || !Fits(root->end, root->valueAt, 52) ||
        LoadLE32(data.data() + root->valueAt) != 0xFEEF04BD) {
        return std::nullopt;
    }
    VersionInfo info;
    const uint8_t* fixed = data.data() + root->valueAt;
    info.fileVersion = FromWords(LoadLE32(fixed + 8), LoadLE32(fixed + 12));
    info.productVersion = FromWords(LoadLE32(fixed + 16), LoadLE32(fixed + 20));
    for (size_t child : root->children) {
        const auto fileInfo = ParseBlock(data, child, root->end, false);
        if (!fileInfo || fileInfo->key != u"StringFileInfo" || fileInfo->children.empty()) continue;
        const auto table = ParseBlock(data, fileInfo->children.front(), fileInfo->end, false);
        if (!table) break;
        for (size_t at : table->children) {
            const auto entry = ParseBlock(data, at, table->end, false);
            if (!entry) continue;
            info.strings.emplace_back(Utf8From(entry->key),
                                      Utf8From(TextAt(data, entry->valueAt, entry->end)));
        }
        break;
    }
    return info;
}

std::optional<uint64_t> SectionsEnd(const std::vector<uint8_t>& headers) {
    try {
        uint64_t end = 0;
        for (const Section& s : ReadHeaders(headers).sections)
            end = std::max(end, uint64_t{s.rawAt} + s.rawSize);
        return end;
    } catch (const PackError&) {
        return std::nullopt;
    }
}

std::optional<VersionInfo> ReadVersionInfo(const std::vector<uint8_t>& image) {
    std::vector<Resource> resources;
    try {
        resources = ReadResources(image);
    } catch (const PackError&) {
        return std::nullopt;
    }
    for (const Resource& r : resources) {
        if (r.type == ResourceName{kResourceVersion, std::nullopt}) return ParseVersionInfo(r.data);
    }
    return std::nullopt;
}

std::vector<uint8_t> WriteResources(const std::vector<uint8_t>& image,
                                    const std::vector<Resource>& resources) {
    const Headers h = ReadHeaders(image);
    const Section* found = ResourceSection(image, h);
    if (found == nullptr) throw PackError("the image has no resource section");
    const Section rsrc = *found;
    const size_t index = static_cast<size_t>(found - h.sections.data());
    if (!Fits(image.size(), rsrc.rawAt, rsrc.rawSize)) throw PackError("the resource section is cut off");
    const uint64_t oldEnd = static_cast<uint64_t>(rsrc.rawAt) + rsrc.rawSize;
    const uint64_t restAt =
        std::min<uint64_t>(AlignUp(static_cast<uint32_t>(oldEnd), h.fileAlignment), image.size());
    for (size_t i = 0; i < h.sections.size(); ++i) {
        const Section& s = h.sections[i];
        if (i < index &&
            (s.End() > rsrc.address || (s.rawSize && s.rawAt + uint64_t{s.rawSize} > rsrc.rawAt))) {
            throw PackError("section " + s.name + " lies behind the resource section");
        }
        if (i > index) {
            if (!(s.flags & kDiscardable)) {
                throw PackError("the resource section is followed by section " + s.name +
                                ", which is not discardable and so cannot be moved");
            }
            if (s.address < rsrc.End() || (s.rawSize && s.rawAt < restAt)) {
                throw PackError("section " + s.name + " overlaps the resource section");
            }
        }
    }

    const std::vector<uint8_t> section = BuildSection(resources, rsrc.address);
    const auto newSize = static_cast<uint32_t>(section.size());
    const uint32_t newRaw = AlignUp(newSize, h.fileAlignment);
    const uint64_t newRestAt = static_cast<uint64_t>(rsrc.rawAt) + newRaw;
    const int64_t fileShift = static_cast<int64_t>(newRestAt) - static_cast<int64_t>(restAt);
    const uint64_t oldVirtualEnd = AlignUp(static_cast<uint32_t>(rsrc.End()), h.sectionAlignment);
    const uint64_t newVirtualEnd = AlignUp(
        static_cast<uint32_t>(rsrc.address + uint64_t{std::max(newSize, newRaw)}), h.sectionAlignment);
    const int64_t addressShift = static_cast<int64_t>(newVirtualEnd) - static_cast<int64_t>(oldVirtualEnd);
    if (newRestAt + (image.size() - restAt) > 0x7FFFFFFF || newVirtualEnd > 0x7FFFFFFF) {
        throw PackError("the image would be larger than 2 GiB");
    }

    std::vector<uint8_t> out(image.begin(), image.begin() + rsrc.rawAt);
    out.insert(out.end(), section.begin(), section.end());
    out.resize(static_cast<size_t>(newRestAt), 0);
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(restAt), image.end());
    auto shifted = [](uint32_t value, int64_t by) {
        return static_cast<uint32_t>(static_cast<int64_t>(value) + by);
    };
    // The addresses that lie in a moved section move with it.
    auto moveAddress = [&](uint32_t rva) {
        for (size_t i = index + 1; i < h.sections.size(); ++i) {
            if (rva >= h.sections[i].address && rva < h.sections[i].End()) return shifted(rva, addressShift);
        }
        return rva;
    };
    auto moveOffset = [&](uint32_t at) { return at >= restAt ? shifted(at, fileShift) : at; };

    StoreLE32(out.data() + rsrc.headerAt + 8, newSize);
    StoreLE32(out.data() + rsrc.headerAt + 16, newRaw);
    for (size_t i = index + 1; i < h.sections.size(); ++i) {
        const Section& s = h.sections[i];
        StoreLE32(out.data() + s.headerAt + 12, shifted(s.address, addressShift));
        if (s.rawSize) StoreLE32(out.data() + s.headerAt + 20, shifted(s.rawAt, fileShift));
    }
    for (uint32_t d = 0; d < h.directoryCount; ++d) {
        if (d == kSecurityDirectory || d == kResourceDirectory) continue;
        uint8_t* entry = out.data() + h.DirectoryAt(d);
        if (LoadLE32(entry) != 0) StoreLE32(entry, moveAddress(LoadLE32(entry)));
    }
    StoreLE32(out.data() + h.DirectoryAt(kResourceDirectory), rsrc.address);
    StoreLE32(out.data() + h.DirectoryAt(kResourceDirectory) + 4, newSize);
    uint8_t* imageSize = out.data() + h.optional + 56;
    if (index + 1 == h.sections.size()) {
        StoreLE32(imageSize, static_cast<uint32_t>(newVirtualEnd));
    } else {
        StoreLE32(imageSize, shifted(LoadLE32(imageSize), addressShift));
    }
    uint8_t* initialized = out.data() + h.optional + 8;
    StoreLE32(initialized, static_cast<uint32_t>(LoadLE32(initialized) + newRaw - rsrc.rawSize));
    uint8_t* symbols = out.data() + h.coff + 8;
    if (LoadLE32(symbols) != 0) StoreLE32(symbols, moveOffset(LoadLE32(symbols)));
    // Debug entries carry an address and a file offset of their data.
    if (h.directoryCount > kDebugDirectory) {
        const Headers moved = ReadHeaders(out);
        const uint32_t rva = LoadLE32(out.data() + h.DirectoryAt(kDebugDirectory));
        const uint32_t size = LoadLE32(out.data() + h.DirectoryAt(kDebugDirectory) + 4);
        if (const auto at = rva ? FileOffsetOf(moved, out.size(), rva, size) : std::nullopt) {
            for (size_t e = *at; e + kDebugEntrySize <= *at + size; e += kDebugEntrySize) {
                if (LoadLE32(out.data() + e + 20) != 0)
                    StoreLE32(out.data() + e + 20, moveAddress(LoadLE32(out.data() + e + 20)));
                if (LoadLE32(out.data() + e + 24) != 0)
                    StoreLE32(out.data() + e + 24, moveOffset(LoadLE32(out.data() + e + 24)));
            }
        }
    }
    const size_t checksumAt = h.optional + 64;
    StoreLE32(out.data() + checksumAt, PeChecksum(out, checksumAt));
    return out;
}

std::vector<uint8_t> ApplySetupResources(const std::vector<uint8_t>& image, const SetupResources& r) {
    std::vector<Resource> resources = ReadResources(image);
    const uint16_t language = resources.empty() ? 0x0409 : resources.front().language;
    auto isType = [](uint16_t type) {
        return [type](const Resource& x) { return x.type == ResourceName{type, std::nullopt}; };
    };
    if (!r.icon.empty()) {
        const std::vector<IconImage> images = ParseIcon(r.icon);
        std::erase_if(resources, isType(kResourceIcon));
        std::erase_if(resources, isType(kResourceGroupIcon));
        std::vector<uint8_t> group(6 + 14 * images.size(), 0);
        StoreLE16(group.data() + 2, 1);
        StoreLE16(group.data() + 4, static_cast<uint16_t>(images.size()));
        for (size_t i = 0; i < images.size(); ++i) {
            const IconImage& icon = images[i];
            const auto id = static_cast<uint16_t>(i + 1);
            uint8_t* e = group.data() + 6 + 14 * i;
            e[0] = icon.width;
            e[1] = icon.height;
            e[2] = icon.colors;
            StoreLE16(e + 4, icon.planes);
            StoreLE16(e + 6, icon.bitCount);
            StoreLE32(e + 8, static_cast<uint32_t>(icon.data.size()));
            StoreLE16(e + 12, id);
            resources.push_back({{kResourceIcon, std::nullopt}, {id, std::nullopt}, language, 0, icon.data});
        }
        resources.push_back(
            {{kResourceGroupIcon, std::nullopt}, {1, std::nullopt}, language, 0, std::move(group)});
    }
    if (r.SetsVersion()) {
        const auto old = std::find_if(resources.begin(), resources.end(), isType(kResourceVersion));
        const uint16_t versionLanguage = old != resources.end() ? old->language : language;
        std::vector<uint8_t> info = BuildVersionInfo(r);
        std::erase_if(resources, isType(kResourceVersion));
        resources.push_back(
            {{kResourceVersion, std::nullopt}, {1, std::nullopt}, versionLanguage, 0, std::move(info)});
    }
    return WriteResources(image, resources);
}

}  // namespace kq::pack
