#include <gtest/gtest.h>

#include <string>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/PeImage.h"
#include "InstCompressPack/PeResources.h"
#include "tests/TestData.h"

namespace kq::pack {
namespace {

using test::Bytes;

constexpr uint32_t kText = 0x60000020;
constexpr uint32_t kData = 0xC0000040;
constexpr uint32_t kReloc = 0x42000040;  // discardable

struct Layout {
    size_t optional;
    size_t directories;
    size_t sections;
};

Layout LayoutOf(const Bytes& image) {
    const size_t optional = LoadLE32(image.data() + 0x3C) + 24;
    const bool plus = LoadLE16(image.data() + optional) == 0x20B;
    return {optional, optional + (plus ? 112 : 96), optional + LoadLE16(image.data() + optional - 4)};
}

// An image of .text, an empty .rsrc and a third section (.reloc unless
// `thirdFlags` says otherwise) whose bytes are a pattern; the base
// relocation directory names it. Resources are put in by WriteResources.
Bytes SmallImage(bool plus, uint32_t thirdFlags = kReloc) {
    Bytes image(0x400 + 0x200 * 3, 0);
    image[0] = 'M';
    image[1] = 'Z';
    StoreLE32(image.data() + 0x3C, 0x80);
    image[0x80] = 'P';
    image[0x81] = 'E';
    StoreLE16(image.data() + 0x86, 3);
    StoreLE16(image.data() + 0x94, plus ? 240 : 224);
    const size_t optional = 0x98;
    StoreLE16(image.data() + optional, plus ? 0x20B : 0x10B);
    StoreLE32(image.data() + optional + 8, 0x400);  // SizeOfInitializedData: .rsrc and .reloc
    StoreLE32(image.data() + optional + 32, 0x1000);
    StoreLE32(image.data() + optional + 36, 0x200);
    StoreLE32(image.data() + optional + 56, 0x4000);
    StoreLE32(image.data() + optional + 60, 0x400);
    const Layout l = LayoutOf(image);
    StoreLE32(image.data() + l.directories - 4, 16);
    StoreLE32(image.data() + l.directories + 2 * 8, 0x2000);
    StoreLE32(image.data() + l.directories + 2 * 8 + 4, 16);
    StoreLE32(image.data() + l.directories + 5 * 8, 0x3010);
    StoreLE32(image.data() + l.directories + 5 * 8 + 4, 0x20);
    const char* names[] = {".text", ".rsrc", ".reloc"};
    const uint32_t flags[] = {kText, kData, thirdFlags};
    for (uint32_t i = 0; i < 3; ++i) {
        uint8_t* s = image.data() + l.sections + 40 * i;
        std::copy(names[i], names[i] + std::string(names[i]).size(), s);
        StoreLE32(s + 8, 0x100);
        StoreLE32(s + 12, 0x1000 * (i + 1));
        StoreLE32(s + 16, 0x200);
        StoreLE32(s + 20, 0x400 + 0x200 * i);
        StoreLE32(s + 36, flags[i]);
    }
    StoreLE32(image.data() + l.sections + 40 + 8, 16);
    for (size_t i = 0; i < 0x200; ++i) image[0x800 + i] = static_cast<uint8_t>(i * 7);
    return image;
}

Resource Leaf(uint16_t type, ResourceName name, Bytes data) {
    return {{type, std::nullopt}, std::move(name), 0x409, 0, std::move(data)};
}
ResourceName Id(uint16_t id) {
    return {id, std::nullopt};
}

// A stub as the linker leaves one: a manifest, an icon group named by a
// string over two icons, and a version resource.
Bytes Stub(bool plus) {
    return WriteResources(SmallImage(plus),
                          {Leaf(kResourceManifest, Id(1), test::ToBytes("<assembly/>")),
                           Leaf(kResourceIcon, Id(1), Bytes(40, 1)), Leaf(kResourceIcon, Id(2), Bytes(50, 2)),
                           Leaf(kResourceGroupIcon, {0, u"MAINICON"}, Bytes(34, 3)),
                           Leaf(kResourceVersion, Id(1), Bytes(92, 4))});
}

// An .ico of a 16-pixel bitmap and a 256-pixel PNG.
Bytes Icon() {
    Bytes dib(40 + 16 * 16 * 4 + 64, 0x11);
    StoreLE32(dib.data(), 40);
    StoreLE16(dib.data() + 12, 1);
    StoreLE16(dib.data() + 14, 32);
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3};
    Bytes ico(6 + 32 + dib.size() + png.size(), 0);
    StoreLE16(ico.data() + 2, 1);
    StoreLE16(ico.data() + 4, 2);
    ico[6] = 16;
    ico[7] = 16;  // planes and bit count 0: taken from the bitmap
    StoreLE32(ico.data() + 6 + 8, static_cast<uint32_t>(dib.size()));
    StoreLE32(ico.data() + 6 + 12, 38);
    StoreLE16(ico.data() + 22 + 4, 1);
    StoreLE16(ico.data() + 22 + 6, 32);
    StoreLE32(ico.data() + 22 + 8, static_cast<uint32_t>(png.size()));
    StoreLE32(ico.data() + 22 + 12, static_cast<uint32_t>(38 + dib.size()));
    std::copy(dib.begin(), dib.end(), ico.begin() + 38);
    std::copy(png.begin(), png.end(), ico.begin() + 38 + static_cast<std::ptrdiff_t>(dib.size()));
    return ico;
}

const Resource* Find(const std::vector<Resource>& all, uint16_t type, uint16_t id) {
    for (const Resource& r : all) {
        if (r.type == Id(type) && r.name == Id(id)) return &r;
    }
    return nullptr;
}

class PeResourcesTest : public testing::TestWithParam<bool> {};

// The new section grows past its old size: .reloc moves up by whole
// alignment units with its bytes, its directory and the header fields.
TEST_P(PeResourcesTest, SectionLaidOutAnewAndTheFollowingOneMoved) {
    const Bytes before = SmallImage(GetParam());
    const Bytes big(0x2345, 0xAB);
    const Bytes image = WriteResources(
        before, {Leaf(kResourceManifest, Id(1), big), Leaf(kResourceVersion, Id(1), Bytes(9, 5))});
    const Layout l = LayoutOf(image);
    const auto section = [&](size_t i, size_t field) {
        return LoadLE32(image.data() + l.sections + 40 * i + field);
    };
    const uint32_t rsrcSize = section(1, 8);
    EXPECT_GT(rsrcSize, big.size());
    EXPECT_EQ(section(1, 16), (rsrcSize + 0x1FF) / 0x200 * 0x200);
    EXPECT_EQ(LoadLE32(image.data() + l.directories + 16), 0x2000u);
    EXPECT_EQ(LoadLE32(image.data() + l.directories + 20), rsrcSize);
    const uint32_t relocAt = section(2, 12);
    EXPECT_EQ(relocAt, (0x2000 + rsrcSize + 0xFFF) / 0x1000 * 0x1000);
    EXPECT_EQ(LoadLE32(image.data() + l.directories + 40), relocAt + 0x10);  // base relocations moved with it
    EXPECT_EQ(LoadLE32(image.data() + l.optional + 56), relocAt + 0x1000);   // SizeOfImage
    EXPECT_EQ(LoadLE32(image.data() + l.optional + 8), 0x200 + section(1, 16));  // SizeOfInitializedData
    ASSERT_EQ(image.size(), section(2, 20) + 0x200);
    EXPECT_TRUE(std::equal(before.begin() + 0x800, before.end(), image.begin() + section(2, 20)));
    EXPECT_EQ(LoadLE32(image.data() + l.optional + 64), PeChecksum(image, l.optional + 64));

    const std::vector<Resource> read = ReadResources(image);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(Find(read, kResourceManifest, 1)->data, big);
    EXPECT_EQ(Find(read, kResourceVersion, 1)->data, Bytes(9, 5));
}

TEST_P(PeResourcesTest, IconAndVersionReplaceTheStubsOwnTheRestKept) {
    const Bytes stub = Stub(GetParam());
    SetupResources given;
    given.icon = Icon();
    given.version = VersionNumber{2, 1, 0, 0};
    given.strings = {
        {"ProductName", "Éditions Ünïcode 株式会社"}, {"Comments", "first"}, {"Comments", "second"}};
    given.outputName = "setup.exe";
    const std::vector<Resource> read = ReadResources(ApplySetupResources(stub, given));
    ASSERT_EQ(read.size(), 5u);  // the manifest, two icons, their group, the version
    EXPECT_EQ(Find(read, kResourceManifest, 1)->data, test::ToBytes("<assembly/>"));
    const Resource* group = Find(read, kResourceGroupIcon, 1);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6u + 2 * 14);
    const std::vector<IconImage> images = ParseIcon(given.icon);
    for (uint16_t i = 0; i < 2; ++i) {
        const uint8_t* entry = group->data.data() + 6 + 14 * i;
        const Resource* icon = Find(read, kResourceIcon, LoadLE16(entry + 12));
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(icon->data, images[i].data);
        EXPECT_EQ(LoadLE32(entry + 8), icon->data.size());
        EXPECT_EQ(LoadLE16(entry + 6), 32);  // the bitmap's own bit count where the .ico gives 0
    }
    const auto info = ParseVersionInfo(Find(read, kResourceVersion, 1)->data);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fileVersion, (VersionNumber{2, 1, 0, 0}));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Comments", "second"},
        {"FileDescription", "Éditions Ünïcode 株式会社 Setup"},
        {"FileVersion", "2.1.0"},
        {"OriginalFilename", "setup.exe"},
        {"ProductName", "Éditions Ünïcode 株式会社"},
        {"ProductVersion", "2.1.0"}};
    EXPECT_EQ(info->strings, expected);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PeResourcesTest, testing::Values(false, true),
                         [](const auto& kind) { return kind.param ? "Pe32Plus" : "Pe32"; });

TEST(PeResources, GivenStringsWinOverDefaults) {
    SetupResources given;
    given.version = VersionNumber{3, 0, 0, 9};
    given.strings = {{"ProductName", "P"}, {"FileDescription", "D"}, {"FileVersion", "three"}};
    given.outputName = "out.exe";
    const auto info = ParseVersionInfo(BuildVersionInfo(given));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->Find("FileDescription"), "D");
    EXPECT_EQ(info->Find("FileVersion"), "three");
    EXPECT_EQ(info->Find("ProductVersion"), "3.0.0.9");
    given.strings = {{"Productname", "x"}};
    EXPECT_THROW(BuildVersionInfo(given), PackError);
    given.strings = {{"Comments", "\xC3"}};  // cut UTF-8
    EXPECT_THROW(BuildVersionInfo(given), PackError);
}

TEST(PeResources, VersionNumbers) {
    EXPECT_EQ(ParseVersionNumber("2"), (VersionNumber{2, 0, 0, 0}));
    EXPECT_EQ(ParseVersionNumber("1.2.3.65535"), (VersionNumber{1, 2, 3, 65535}));
    for (const char* bad :
         {"", "1.2.3.4.5", "65536", "1..2", "1.", ".1", "v1", "1.2a", "99999999999999999999"}) {
        EXPECT_FALSE(ParseVersionNumber(bad)) << bad;
    }
}

TEST(PeResources, HostileIconsRefusedWithTheReason) {
    const Bytes good = Icon();
    auto with = [&](size_t at, uint32_t value) {
        Bytes ico = good;
        StoreLE32(ico.data() + at, value);
        return ico;
    };
    Bytes cursor = good;
    cursor[2] = 2;
    const struct {
        Bytes ico;
        const char* says;
    } cases[] = {
        {{}, "too few"},
        {test::ToBytes("GIF89a text"), "not an .ico file"},
        {cursor, "a cursor"},
        {Bytes{0, 0, 1, 0, 0, 0}, "no image"},
        {Bytes(good.begin(), good.begin() + 30), "image directory is truncated"},
        {with(6 + 12, 0xFFFFFFF0), "lies outside the file"},
        {with(22 + 8, 0x7FFFFFFF), "lies outside the file"},
        {with(6 + 12, 8), "overlaps the image directory"},
        {with(38, 41), "neither a PNG image nor a bitmap"},
    };
    for (const auto& c : cases) {
        try {
            ParseIcon(c.ico);
            ADD_FAILURE() << "accepted: " << c.says;
        } catch (const PackError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(PeResources, HostileTreesAndLayoutsRefused) {
    const Bytes stub = Stub(false);
    const size_t tree = 0x600;  // .rsrc's file data
    auto poked = [&](size_t at, uint32_t value) {
        Bytes image = stub;
        StoreLE32(image.data() + at, value);
        return image;
    };
    const struct {
        Bytes image;
        const char* says;
    } cases[] = {
        {poked(tree + 12, 0xFFFF0000), "outside its section"},  // 65535 named entries
        {poked(tree + 16 + 4, 0x80000000),
         "deeper than type, name and language"},  // a type that is the root again
        {poked(tree + 16 + 4, 0x00000000), "data where a directory belongs"},
        {poked(tree + 16, 0x80001000), "outside its section"},  // a name string far away
    };
    for (const auto& c : cases) {
        try {
            ReadResources(c.image);
            ADD_FAILURE() << "accepted: " << c.says;
        } catch (const PackError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(PeResources, OnlyDiscardableSectionsAreMoved) {
    try {
        WriteResources(SmallImage(false, kData), {Leaf(kResourceManifest, Id(1), Bytes(0x300, 1))});
        ADD_FAILURE() << "moved a data section";
    } catch (const PackError& e) {
        EXPECT_NE(std::string(e.what()).find("followed by section .reloc, which is not discardable"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace kq::pack
