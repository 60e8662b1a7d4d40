#include <gtest/gtest.h>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"
#include "tests/TestArchives.h"

namespace kq {
namespace {

using test::ArchiveBuilder;
using test::Bytes;

ArchiveHeader Read(const Bytes& bytes, std::string* recognized = nullptr) {
    TMemoryStream s(bytes);
    return ReadArchiveHeader(s, [&](const std::string& id) {
        if (recognized) *recognized = id;
    });
}

TEST(ArchiveFormatTest, BuildAndReadHeaderRoundTrip) {
    const auto raw = BuildArchiveHeader("LH5", 12345, 1, 7);
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 8), (Bytes{'V', 'R', 'A', 'X', 0x1A, 'L', 'H', '5'}));
    std::string id;
    const ArchiveHeader h = Read(Bytes(raw.begin(), raw.end()), &id);
    EXPECT_EQ(id, "LH5");
    EXPECT_EQ(h.totalSize, 12345);
    EXPECT_EQ(h.archiveLock, 2);
    EXPECT_EQ(BuildArchiveHeader("NON", 0, 1, 0)[17], 0);
    EXPECT_EQ(BuildArchiveHeader("NON", 0, 1, -5)[17], 0);  // lock 2 only for a key above 0
}

TEST(ArchiveFormatTest, TooShortArchivesReadAsEmptyWithoutRecognizing) {
    for (size_t size : {0u, 1u, 20u}) {
        Bytes bytes(size, 'x');
        std::string id = "untouched";
        const ArchiveHeader h = Read(bytes, &id);
        EXPECT_EQ(h.totalSize, 0) << size;
        EXPECT_EQ(id, "untouched") << size;
    }
}

TEST(ArchiveFormatTest, HeaderChecksInOrder) {
    struct Case {
        Bytes bytes;
        std::string message;
    };
    Bytes badFifth = ArchiveBuilder("RLE").Build();
    badFifth[4] = 0x1B;
    Bytes badTypeAndSignature = ArchiveBuilder("RLE", 0).Build();
    badTypeAndSignature[0] = 'W';
    const std::vector<Case> cases = {
        {badFifth, "Can't recognize compressed file header"},
        {badTypeAndSignature, "Can't recognize compressed file header"},
        {ArchiveBuilder("RLE", 0).Build(), "Archive type must be caMulti"},
        {ArchiveBuilder("RLE", 2).Build(), "Archive type must be caMulti"},
    };
    for (const Case& c : cases) {
        try {
            Read(c.bytes);
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
    EXPECT_THROW(Read(badFifth), EInvalidHeader);
    EXPECT_THROW(Read(ArchiveBuilder("XYZ", 2).Build()), EInvalidHeaderArchiveType);
}

TEST(ArchiveFormatTest, EntryHeaderFieldsAndEnd) {
    const Bytes stored = {1, 2, 3};
    Bytes bytes = ArchiveBuilder().Entry("Dir\\File", 4, 77, stored, 0xDEADBEEF, 2).Build();
    TMemoryStream s(bytes);
    s.SetPosition(kArchiveHeaderSize);
    const auto entry = ReadEntryHeader(s);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Dir\\File");
    EXPECT_EQ(entry->header.expandedSize, 77);
    EXPECT_EQ(entry->header.storedSize, 3);
    EXPECT_EQ(entry->header.method, 4);
    EXPECT_EQ(static_cast<uint32_t>(entry->header.checksum), 0xDEADBEEFu);
    EXPECT_EQ(entry->header.lock, 2);
    EXPECT_EQ(s.Position(), kArchiveHeaderSize + kEntryHeaderSize + 8);
    s.Seek(3);
    EXPECT_FALSE(ReadEntryHeader(s));
}

TEST(ArchiveFormatTest, TruncatedOrNegativeEntryHeadersEndTheArchive) {
    const Bytes full = ArchiveBuilder().Entry("name", 1, 0, {}, 0).Build();
    for (size_t cut = kArchiveHeaderSize; cut < full.size(); ++cut) {
        TMemoryStream s(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
        s.SetPosition(kArchiveHeaderSize);
        EXPECT_FALSE(ReadEntryHeader(s)) << cut;
    }
    EntryHeader negativeName;
    negativeName.nameLength = -1;
    EntryHeader negativeSize;
    negativeSize.storedSize = -25;
    for (const EntryHeader& h : {negativeName, negativeSize}) {
        const auto raw = BuildEntryHeader(h);
        TMemoryStream s(Bytes(raw.begin(), raw.end()));
        EXPECT_FALSE(ReadEntryHeader(s));
    }
}

TEST(ArchiveFormatTest, EmptyNameIsAnEntry) {
    const Bytes bytes = ArchiveBuilder().Entry("", 0, 1, {'z'}, 0).Build();
    TMemoryStream s(bytes);
    s.SetPosition(kArchiveHeaderSize);
    const auto entry = ReadEntryHeader(s);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->name.empty());
}

}  // namespace
}  // namespace kq
