#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "InstCompress/EntryReader.h"
#include "InstCompress/InstCompress.h"
#include "InstCompress/PayloadLocator.h"
#include "tests/TestArchives.h"

namespace kq {
namespace {

using test::ArchiveBuilder;
using test::Bytes;
using test::ToBytes;

struct Seen {
    std::vector<std::string> names;
    TEntryReader::End end = TEntryReader::End::None;
    int64_t endOffset = 0;
};

Seen Walk(const Bytes& archive) {
    TMemoryStream stream(archive);
    TKQInstCompress component;
    TEntryReader reader(stream, component);
    Seen seen;
    while (const ArchiveEntry* entry = reader.Next()) seen.names.push_back(entry->name);
    seen.end = reader.WalkEnd();
    seen.endOffset = reader.EndOffset();
    return seen;
}

TEST(EntryReaderTest, EntryFieldsAndOffsets) {
    const Bytes archive = ArchiveBuilder("LH5")
                              .Total(5)
                              .Entry("Installer\\a.exe", kMethodStored, 3, ToBytes("abc"), 7, 2)
                              .Entry("", 9, -4, {}, 0xFFFFFFFF, -1)
                              .Build();
    TMemoryStream stream(archive);
    TKQInstCompress component;
    TEntryReader reader(stream, component);
    EXPECT_EQ(reader.Header().methodId, "LH5");
    EXPECT_EQ(reader.Header().totalSize, 5);

    const ArchiveEntry* a = reader.Next();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->name, "Installer\\a.exe");
    EXPECT_EQ(a->method, kMethodStored);
    EXPECT_EQ(a->lock, 2);
    EXPECT_EQ(a->expandedSize, 3);
    EXPECT_EQ(a->storedSize, 3);
    EXPECT_EQ(a->checksum, 7u);
    EXPECT_EQ(a->dataOffset, kArchiveHeaderSize + kEntryHeaderSize + 15);
    EXPECT_EQ(0, std::memcmp(archive.data() + a->dataOffset, "abc", 3));
    const ArchiveEntry* b = reader.Next();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->name, "");
    EXPECT_EQ(b->method, 9);
    EXPECT_EQ(b->lock, -1);
    EXPECT_EQ(b->expandedSize, -4);
    EXPECT_EQ(b->checksum, 0xFFFFFFFFu);
    EXPECT_EQ(b->dataOffset, static_cast<int64_t>(archive.size()));
    EXPECT_EQ(reader.Next(), nullptr);
    EXPECT_EQ(reader.WalkEnd(), TEntryReader::End::NoHeader);
}

TEST(EntryReaderTest, WhereTheWalkEnds) {
    using End = TEntryReader::End;
    EntryHeader negative;
    negative.nameLength = 1;
    negative.storedSize = -26;
    const auto raw = BuildEntryHeader(negative);
    Bytes bad(raw.begin(), raw.end());
    bad.push_back('n');
    const int64_t afterOne = kArchiveHeaderSize + kEntryHeaderSize + 1 + 1;
    const struct {
        const char* what;
        Bytes archive;
        std::vector<std::string> names;
        End end;
        int64_t endOffset;
    } cases[] = {
        {"empty file", {}, {}, End::NoHeader, 0},
        {"header only", ArchiveBuilder("NON").Build(), {}, End::NoHeader, kArchiveHeaderSize},
        {"total reached",
         ArchiveBuilder("NON").Total(1).Entry("a", 0, 1, {'1'}, 0).Entry("b", 0, 1, {'2'}, 0).Build(),
         {"a"},
         End::TotalReached,
         afterOne},
        {"short header",
         ArchiveBuilder("NON").Total(9).Entry("a", 0, 1, {'1'}, 0).Raw({1, 2, 3}).Build(),
         {"a"},
         End::NoHeader,
         afterOne},
        {"negative stored size",
         ArchiveBuilder("NON").Total(9).Entry("a", 0, 1, {'1'}, 0).Raw(bad).Build(),
         {"a"},
         End::NoHeader,
         afterOne},
    };
    for (const auto& c : cases) {
        const Seen seen = Walk(c.archive);
        EXPECT_EQ(seen.names, c.names) << c.what;
        EXPECT_EQ(seen.end, c.end) << c.what;
        EXPECT_EQ(seen.endOffset, c.endOffset) << c.what;
    }
}

TEST(EntryReaderTest, ExpandAndTestFromTheWalk) {
    const Bytes archive = ArchiveBuilder("RLE")
                              .Entry("bad", kMethodRle, 4, {0x00, 0x01}, 12345)
                              .Stored("stored", ToBytes("xyz"))
                              .Stored("locked", ToBytes("kk"), 2, 0x55)
                              .Build();
    TMemoryStream stream(archive);
    TKQInstCompress component;
    TEntryReader reader(stream, component);

    // A failed test leaves the walk at the next entry.
    ASSERT_NE(reader.Next(), nullptr);
    EXPECT_THROW(reader.Test(), Exception);
    const ArchiveEntry* stored = reader.Next();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->name, "stored");
    TMemoryStream dest;
    reader.Expand(dest);
    EXPECT_EQ(dest.Bytes(), ToBytes("xyz"));
    // A locked stored entry needs the key.
    const ArchiveEntry* locked = reader.Next();
    ASSERT_NE(locked, nullptr);
    EXPECT_THROW(reader.Test(), EInvalidKey);
    EXPECT_EQ(reader.Next(), nullptr);
}

TEST(EntryReaderTest, ArchiveFileFindsTheArchiveInAFileOrASetupImage) {
    const Bytes archive = ArchiveBuilder("NON").Stored("x", ToBytes("hi")).Build();
    // A stand-in stub of 300 bytes with the patched marker, then the payload.
    Bytes image(304 + archive.size(), 0xCC);
    std::memcpy(image.data() + 40, kPayloadMarker, kMarkerLength);
    StoreLE32(image.data() + 40 + kMarkerLength, 300);
    StoreLE32(image.data() + 300, static_cast<uint32_t>(archive.size()));
    std::memcpy(image.data() + 304, archive.data(), archive.size());

    const auto path = std::filesystem::temp_directory_path() /
                      ("kq_entry_reader_" + std::to_string(std::random_device()()));
    for (const bool setup : {false, true}) {
        const Bytes& bytes = setup ? image : archive;
        {
            TFileStream out(path.string(), FileMode::Create);
            out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
        }
        TArchiveFile file(path.string());
        EXPECT_EQ(file.IsSetupImage(), setup);
        EXPECT_EQ(file.ArchiveOffset(), setup ? 304 : 0);
        TKQInstCompress component;
        TMemoryStream dest;
        component.ExpandNamedEntry(file.Stream(), dest, "X");
        EXPECT_EQ(dest.Bytes(), ToBytes("hi"));
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace kq
