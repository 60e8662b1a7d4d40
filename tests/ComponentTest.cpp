#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>

#include "InstCompress/InstCompress.h"
#include "InstCompressIntf/InstCompressIntf.h"
#include "tests/TestArchives.h"

namespace kq {
namespace {

using test::ArchiveBuilder;
using test::Bytes;
using test::ToBytes;

Bytes Expand(TKQInstCompress& component, const Bytes& archive, const std::string& name) {
    TMemoryStream source(archive);
    TMemoryStream dest;
    component.ExpandNamedEntry(source, dest, name);
    return dest.Bytes();
}

Bytes Expand(const Bytes& archive, const std::string& name, int32_t key = 0) {
    TKQInstCompress component;
    component.Key = key;
    return Expand(component, archive, name);
}

// Expected class and message of a failed expansion.
template <typename E>
void ExpectFailure(const Bytes& archive, const std::string& name, int32_t key, const std::string& message,
                   Bytes* partial = nullptr) {
    TKQInstCompress component;
    component.Key = key;
    TMemoryStream source(archive), dest;
    try {
        component.ExpandNamedEntry(source, dest, name);
        ADD_FAILURE() << "no exception, expected " << message;
    } catch (const E& e) {
        EXPECT_EQ(e.Message(), message);
    }
    if (partial) *partial = dest.Bytes();
}

TEST(ComponentTest, DefaultsAndTargetPath) {
    TKQInstCompress c;
    EXPECT_FALSE(c.OnCompress || c.OnExpand || c.OnCheckFile || c.OnRecognize || c.OnShowProgress);
    EXPECT_EQ(c.Key, 0);
    EXPECT_FALSE(c.MakeDirectories || c.ExceptionOnFileError || c.CheckSpaceBeforeExpand ||
                 c.AcceptUnverifiedStoredEntries);
    EXPECT_EQ(c.TargetPath(), "");
    c.SetTargetPath("C:\\dir");
    EXPECT_EQ(c.TargetPath(), "C:\\dir\\");
    c.SetTargetPath("C:\\dir\\");
    EXPECT_EQ(c.TargetPath(), "C:\\dir\\");
    c.SetTargetPath("");
    EXPECT_EQ(c.TargetPath(), "");
}

TEST(ComponentTest, RecognizeMethodId) {
    TKQInstCompress c;
    EXPECT_EQ(c.RecognizeMethodId("NON"), 0);
    EXPECT_EQ(c.RecognizeMethodId("RLE"), 1);
    EXPECT_EQ(c.RecognizeMethodId("LZH"), 2);
    EXPECT_EQ(c.RecognizeMethodId("CUS"), 3);
    EXPECT_EQ(c.RecognizeMethodId("LH5"), 4);
    try {
        c.RecognizeMethodId("lh5");  // exact comparison
        FAIL();
    } catch (const EUnrecognizedCompressionMethod& e) {
        EXPECT_EQ(e.Message(), "Unrecognized compression method: \"lh5\" in header");
        EXPECT_STREQ(e.ClassName(), "EUnrecognizedCompressionMethod");
    }
    std::string asked;
    c.OnRecognize = [&](const std::string& id, bool& recognized) {
        asked = id;
        recognized = id == "XYZ";
    };
    EXPECT_EQ(c.RecognizeMethodId("XYZ"), 3);
    EXPECT_EQ(asked, "XYZ");
    EXPECT_THROW(c.RecognizeMethodId("ABC"), EUnrecognizedCompressionMethod);
}

TEST(ComponentTest, AcceptedIdDoesNotChangeDecoding) {
    const Bytes archive =
        ArchiveBuilder("XYZ").Entry("a", kMethodRle, 3, {0x41, 0x94, 0x03}, 3 * 0x41).Build();
    ExpectFailure<EUnrecognizedCompressionMethod>(archive, "a", 0,
                                                  "Unrecognized compression method: \"XYZ\" in header");
    TKQInstCompress c;
    c.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
    EXPECT_EQ(Expand(c, archive, "a"), Bytes(3, 0x41));
}

TEST(ComponentTest, NamesMatchWithoutAsciiCase) {
    const Bytes plain = ToBytes("payload");
    const Bytes archive =
        ArchiveBuilder("NON").Stored("Installer\\KQInstall.exe", plain).Stored("caf\xC9", {'x'}).Build();
    EXPECT_EQ(Expand(archive, "INSTALLER\\kqinstall.EXE"), plain);
    EXPECT_EQ(Expand(archive, "caf\xC9"), Bytes{'x'});
    EXPECT_TRUE(Expand(archive, "caf\xE9").empty());  // non-ASCII case differs: skipped
    EXPECT_TRUE(Expand(archive, "Installer\\KQInstall").empty());
}

TEST(ComponentTest, EveryEntryOfTheNameIsExpandedInOrder) {
    const Bytes archive = ArchiveBuilder("NON")
                              .Stored("x", {'a', 'b'})
                              .Entry("y", kMethodRle, 2, {'q', 'q'}, 2 * 'q')
                              .Entry("X", kMethodRle, 4, {'c', 0x94, 0x04}, 4 * 'c')
                              .Build();
    EXPECT_EQ(Expand(archive, "x"), ToBytes("abcccc"));
}

TEST(ComponentTest, MethodsWithoutDecoder) {
    // Method 5..255: nothing written; the checksum decides.
    EXPECT_TRUE(Expand(ArchiveBuilder().Entry("e", 5, 10, {1, 2, 3}, 0).Build(), "e").empty());
    ExpectFailure<EBadChecksum>(ArchiveBuilder().Entry("e", 200, 10, {1, 2, 3}, 1).Build(), "e", 0,
                                "Bad checksum during expansion -- data may be invalid");
    // Custom without a handler: likewise.
    EXPECT_TRUE(Expand(ArchiveBuilder("CUS").Entry("e", kMethodCustom, 1, {1}, 0).Build(), "e").empty());
}

TEST(ComponentTest, CustomEntryCallsOnExpand) {
    const Bytes archive =
        ArchiveBuilder("ABC").Entry("c", kMethodCustom, 40, {7, 8, 9}, 1234).Stored("next", {'n'}).Build();
    TKQInstCompress c;
    c.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
    int calls = 0;
    c.OnExpand = [&](TStream& dest, TStream& source, int32_t sourceSize, int32_t destSize,
                     const std::string& id, uint32_t& checksum) {
        ++calls;
        EXPECT_EQ(sourceSize, 3);
        EXPECT_EQ(destSize, 40);
        EXPECT_EQ(id, "ABC");
        EXPECT_EQ(checksum, 0u);
        uint8_t data[3];
        source.ReadBuffer(data, 3);
        dest.WriteBuffer(data, 3);
        checksum = 1234;
    };
    EXPECT_EQ(Expand(c, archive, "c"), (Bytes{7, 8, 9}));
    EXPECT_EQ(calls, 1);
}

// Stored entries are verified like coded ones, never descrambled; a locked
// one needs its key. AcceptUnverifiedStoredEntries takes them as they are.
TEST(ComponentTest, StoredEntriesAreVerifiedUnlessAccepted) {
    const int32_t key = 0x01020304;
    const Bytes plain = ToBytes("stored data");
    Bytes damaged = plain;
    damaged[4] ^= 0x01;
    const uint32_t sum = test::Sum(plain);
    const auto stored = [](const Bytes& data, uint32_t checksum, int32_t lock) {
        return ArchiveBuilder("NON")
            .Entry("s", kMethodStored, static_cast<int32_t>(data.size()), data, checksum, lock)
            .Build();
    };
    const struct {
        const char* what;
        Bytes archive;
        int32_t key;
        bool acceptUnverified;
        std::string failure;  // class, or empty: expands to `output`
        Bytes output;
    } cases[] = {
        {"good", stored(plain, sum, 0), 0, false, "", plain},
        {"damaged", stored(damaged, sum, 0), 0, false, "EBadChecksum", damaged},
        {"damaged, a key set", stored(damaged, sum, 0), key, false, "EBadChecksum", damaged},
        {"locked with its key", stored(plain, sum + key, 2), key, false, "", plain},
        {"locked without a key", stored(plain, sum + key, 2), 0, false, "EInvalidKey", {}},
        {"locked, wrong key", stored(plain, sum + key, 2), key + 1, false, "EInvalidKey", plain},
        {"locked and damaged", stored(damaged, sum + key, 1), key, false, "EInvalidKey", damaged},
        {"empty", stored({}, 0, 0), 0, false, "", {}},
        {"damaged, accepted", stored(damaged, sum, 0), 0, true, "", damaged},
        {"locked without a key, accepted", stored(plain, 999, 2), 0, true, "", plain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TKQInstCompress component;
        component.Key = c.key;
        component.AcceptUnverifiedStoredEntries = c.acceptUnverified;
        TMemoryStream source(c.archive), dest;
        std::string failure;
        try {
            component.ExpandNamedEntry(source, dest, "s");
        } catch (const Exception& e) {
            failure = e.ClassName();
        }
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(dest.Bytes(), c.output);
    }
    // The plain entry for callers without a component verifies too.
    TMemoryStream source(stored(damaged, sum, 0)), dest;
    EXPECT_THROW(ExpandFileFromArchive(source, dest, "s", nullptr, nullptr), EBadChecksum);
}

TEST(ComponentTest, LockedCodedEntries) {
    const int32_t key = 0x11223344;
    const Bytes plain = ToBytes("secret data");
    const uint32_t sum = test::Sum(plain);
    const Bytes scrambled = ArchiveBuilder()
                                .Key(key)
                                .Entry("s", kMethodRle, 11, test::Scramble(plain, key), sum + key, 2)
                                .Build();
    EXPECT_EQ(Expand(scrambled, "s", key), plain);

    Bytes partial = {1};
    ExpectFailure<EInvalidKey>(scrambled, "s", 0, "File locked -- valid key required", &partial);
    EXPECT_TRUE(partial.empty());  // refused before touching the data
    ExpectFailure<EInvalidKey>(scrambled, "s", key + 1, "File locked -- valid key required");

    // Lock 1: locked but not scrambled; the checksum still carries the key.
    const Bytes lock1 = ArchiveBuilder().Entry("s", kMethodRle, 11, plain, sum + key, 1).Build();
    EXPECT_EQ(Expand(lock1, "s", key), plain);
    // The plain checksum also passes a locked entry.
    const Bytes plainSum = ArchiveBuilder().Entry("s", kMethodRle, 11, plain, sum, 1).Build();
    EXPECT_EQ(Expand(plainSum, "s", key), plain);
    // Negative lock values are not locked.
    const Bytes negative = ArchiveBuilder().Entry("s", kMethodRle, 11, plain, sum, -1).Build();
    EXPECT_EQ(Expand(negative, "s", 0), plain);
}

TEST(ComponentTest, KeyIndexRestartsForEachEntry) {
    const int32_t key = 0x0A0B0C0D;
    const Bytes a = ToBytes("abc");  // 3 bytes: the next entry would start at key byte 3
    const Bytes b = ToBytes("defgh");
    const Bytes archive = ArchiveBuilder()
                              .Entry("n", kMethodRle, 3, test::Scramble(a, key), test::Sum(a) + key, 2)
                              .Entry("n", kMethodRle, 5, test::Scramble(b, key), test::Sum(b) + key, 2)
                              .Build();
    EXPECT_EQ(Expand(archive, "n", key), ToBytes("abcdefgh"));
}

TEST(ComponentTest, BadChecksumKeepsWrittenBytesAndStopsTheWalk) {
    const Bytes archive = ArchiveBuilder()
                              .Entry("n", kMethodRle, 3, ToBytes("abc"), 1)
                              .Entry("n", kMethodRle, 3, ToBytes("def"), test::Sum(ToBytes("def")))
                              .Build();
    Bytes partial;
    ExpectFailure<EBadChecksum>(archive, "n", 0, "Bad checksum during expansion -- data may be invalid",
                                &partial);
    EXPECT_EQ(partial, ToBytes("abc"));
}

TEST(ComponentTest, ShortArchivesExpandNothing) {
    for (const Bytes& archive : {Bytes{}, Bytes(20, 0xFF), ArchiveBuilder().Build()}) {
        EXPECT_TRUE(Expand(archive, "x").empty());
    }
}

TEST(ComponentTest, TotalSizeEndsTheWalk) {
    const Bytes archive = ArchiveBuilder("NON").Total(2).Stored("a", {'1', '2'}).Stored("a", {'3'}).Build();
    EXPECT_EQ(Expand(archive, "a"), ToBytes("12"));
}

TEST(ComponentTest, NegativeStoredSizeEndsTheWalk) {
    EntryHeader h;
    h.nameLength = 1;
    h.storedSize = -26;  // would seek back onto its own header
    const auto raw = BuildEntryHeader(h);
    Bytes bad(raw.begin(), raw.end());
    bad.push_back('a');
    const Bytes archive = ArchiveBuilder("NON").Total(1000).Stored("a", {'1'}).Raw(bad).Build();
    EXPECT_EQ(Expand(archive, "a"), ToBytes("1"));
}

TEST(ComponentTest, RunningSumWrapsLikeA32BitInteger) {
    const int32_t min = std::numeric_limits<int32_t>::min();
    const Bytes archive = ArchiveBuilder("NON")
                              .Total(10)
                              .Entry("a", kMethodStored, min, {'1'}, '1')
                              .Entry("a", kMethodStored, min, {'2'}, '2')  // sum wraps to 0
                              .Entry("a", kMethodStored, 5, {'3'}, '3')
                              .Entry("a", kMethodStored, 5, {'4'}, '4')
                              .Entry("a", kMethodStored, 5, {'5'}, '5')  // sum is 10: not reached
                              .Build();
    EXPECT_EQ(Expand(archive, "a"), ToBytes("1234"));
}

TEST(ComponentTest, StoredEntryLongerThanArchiveFailsWithReadError) {
    Bytes archive = ArchiveBuilder("NON").Stored("a", ToBytes("0123456789")).Build();
    archive.resize(archive.size() - 3);
    ExpectFailure<EStreamReadError>(archive, "a", 0, "Stream read error");
}

TEST(ComponentTest, ExceptionClassNames) {
    EXPECT_STREQ(EInvalidHeader("").ClassName(), "EInvalidHeader");
    EXPECT_STREQ(EInvalidHeaderArchiveType("").ClassName(), "EInvalidHeaderArchiveType");
    EXPECT_STREQ(EInvalidKey("").ClassName(), "EInvalidKey");
    EXPECT_STREQ(EBadChecksum("").ClassName(), "EBadChecksum");
    EXPECT_STREQ(EUnableToCompress("").ClassName(), "EUnableToCompress");
    EXPECT_STREQ(ELZHBadDecodeTable("").ClassName(), "ELZHBadDecodeTable");
    EXPECT_STREQ(EOutOfMemory("").ClassName(), "EOutOfMemory");
}

void CountProgress(void* data, int32_t& percent) {
    static_cast<std::vector<int32_t>*>(data)->push_back(percent);
}

TEST(ExpandFileFromArchiveTest, ExpandsFromAFileWithAndWithoutProgress) {
    Bytes stored;  // RLE literals: stored and expanded bytes are the same
    for (size_t i = 0; i < 20000; ++i) stored.push_back(static_cast<uint8_t>('a' + i % 20));
    const Bytes archive = ArchiveBuilder().Entry("f", kMethodRle, 20000, stored, test::Sum(stored)).Build();
    const auto path = (std::filesystem::temp_directory_path() / "kq_expand_file_test.kqa").string();
    {
        TFileStream out(path, FileMode::Create);
        out.WriteBuffer(archive.data(), static_cast<int32_t>(archive.size()));
    }
    std::vector<int32_t> seen;
    TMemoryStream dest;
    ExpandFileFromArchive(path, dest, "F", CountProgress, &seen);
    EXPECT_EQ(dest.Bytes(), stored);
    EXPECT_EQ(seen, (std::vector<int32_t>{40, 81, 100}));

    TMemoryStream dest2;
    ExpandFileFromArchive(path, dest2, "f", nullptr, nullptr);
    EXPECT_EQ(dest2.Bytes(), stored);
    std::remove(path.c_str());

    TMemoryStream dest3;
    EXPECT_THROW(ExpandFileFromArchive(path, dest3, "f", nullptr, nullptr), EFileOpenError);
}

TEST(ComponentTest, EntryAfterAnAbortedOneStartsClean) {
    Bytes first(100, 'a');
    Bytes second = ToBytes("second");
    const Bytes archive = ArchiveBuilder()
                              .Entry("x", kMethodRle, 100, first, test::Sum(first))
                              .Entry("y", kMethodRle, 6, second, test::Sum(second))
                              .Build();
    TKQInstCompress c;
    int calls = 0;
    c.OnShowProgress = [&](int32_t& percent) {
        if (++calls == 1) percent = -1;
    };
    EXPECT_THROW(Expand(c, archive, "x"), EBadChecksum);
    EXPECT_EQ(Expand(c, archive, "y"), second);
}

}  // namespace
}  // namespace kq
