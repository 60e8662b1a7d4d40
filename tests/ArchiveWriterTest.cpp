#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "InstCompress/EntryReader.h"
#include "InstCompress/InstCompress.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/ShrinkEstimate.h"
#include "InstCompressPack/SpillBuffer.h"
#include "tests/TestArchives.h"
#include "tests/TestStreams.h"

namespace kq {
namespace {

using pack::PackItem;
using pack::PackMethod;
using pack::PackOptions;
using test::Bytes;

using test::ExpandNamed;

std::vector<Bytes> Inputs() {
    const Bytes random = test::RandomBytes(3 << 20, 11);
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    const std::string text =
        "Installer\\KQInstall.exe expands from a setup image into the Windows directory.\r\n";
    Bytes prose;
    for (int i = 0; i < 400; ++i) prose.insert(prose.end(), text.begin(), text.end());
    return {Bytes{}, Bytes{42}, all, Bytes(70000, 0), Bytes(70000, 0x94), prose, random};
}

TEST(ArchiveWriterTest, RoundTripsEveryMethodKeyAndLock) {
    auto inputs = Inputs();
    const Bytes random = std::move(inputs.back());
    inputs.pop_back();
    for (PackMethod method : {PackMethod::None, PackMethod::Rle, PackMethod::Lzh1, PackMethod::Lzh5}) {
        // The large input once per method; keys and locks on the small ones.
        const Bytes big = pack::BuildArchive(
            {{"big", random, method}}, PackOptions{std::string(pack::MethodIdOf(method)), 0, std::nullopt});
        EXPECT_EQ(ExpandNamed(big, "big"), random) << pack::PackMethodName(method);
        for (int32_t key : {0, 0x5EED1234, -7}) {
            for (std::optional<int32_t> lock : {std::optional<int32_t>{}, std::optional<int32_t>{1}}) {
                if (key == 0 && lock) continue;  // a locked entry needs a key
                std::vector<PackItem> items;
                for (size_t i = 0; i < inputs.size(); ++i) {
                    items.push_back(PackItem{"dir\\file" + std::to_string(i), inputs[i], method});
                }
                PackOptions options{std::string(pack::MethodIdOf(method)), key, lock};
                const Bytes archive = pack::BuildArchive(items, options);
                for (size_t i = 0; i < inputs.size(); ++i) {
                    EXPECT_EQ(ExpandNamed(archive, "DIR\\FILE" + std::to_string(i), key), inputs[i])
                        << pack::PackMethodName(method) << " key " << key << " item " << i;
                }
            }
        }
    }
}

// An empty entry after the last non-empty one could never be read, so the
// writer puts it before that entry.
TEST(ArchiveWriterTest, HeaderAndEntryFields) {
    std::vector<PackItem> items = {{"a", Bytes{1, 2, 3}, PackMethod::Rle}, {"b", Bytes{}, PackMethod::None}};
    const Bytes archive = pack::BuildArchive(items, PackOptions{"RLE", 5, std::nullopt});
    TMemoryStream s(archive);
    const ArchiveHeader header = ReadArchiveHeader(s, nullptr);
    EXPECT_EQ(header.methodId, "RLE");
    EXPECT_EQ(header.totalSize, 3);
    EXPECT_EQ(header.archiveLock, 2);
    const auto b = ReadEntryHeader(s);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->name, "b");
    EXPECT_EQ(b->header.storedSize, 0);
    EXPECT_EQ(b->header.method, 0);
    const auto a = ReadEntryHeader(s);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->header.lock, 2);
    EXPECT_EQ(a->header.checksum, 1 + 2 + 3 + 5);
    EXPECT_EQ(a->header.storedSize, 3);
    // Scrambled with the key's low byte first.
    uint8_t data[3];
    s.ReadBuffer(data, 3);
    EXPECT_EQ(data[0], 1 ^ 5);
    EXPECT_EQ(data[1], 2);
    EXPECT_EQ(s.Position(), s.Size());
}

// Empty entries alone: a total of 0 would end every walk before the first
// entry. Each is found, by our reader and by one built to the walk's letter.
TEST(ArchiveWriterTest, ArchivesOfEmptyEntriesOnlyShowEveryEntry) {
    const std::vector<std::vector<PackItem>> archives = {
        {{"alone", {}, PackMethod::None}},
        {{"a", {}, PackMethod::None}, {"b\\c", {}, PackMethod::Lzh5}, {"d", {}, PackMethod::Rle}},
    };
    for (const auto& items : archives) {
        const Bytes archive = pack::BuildArchive(items, PackOptions{"LH5", 0, std::nullopt});
        std::vector<std::string> names;
        for (const PackItem& item : items) names.push_back(item.name);
        EXPECT_EQ(test::LetterWalkNames(archive), names);
        TMemoryStream stream(archive);
        TKQInstCompress component;
        TEntryReader reader(stream, component);
        std::vector<std::string> seen;
        while (const ArchiveEntry* entry = reader.Next()) {
            seen.push_back(entry->name);
            EXPECT_NO_THROW(reader.Test()) << entry->name;
        }
        EXPECT_EQ(seen, names);
        EXPECT_EQ(reader.EndOffset(), static_cast<int64_t>(archive.size()));
    }
}

TEST(ArchiveWriterTest, SameNameTwiceExpandsBoth) {
    std::vector<PackItem> items = {{"n", Bytes{'a'}, PackMethod::Rle}, {"n", Bytes{'b'}, PackMethod::None}};
    EXPECT_EQ(ExpandNamed(pack::BuildArchive(items, PackOptions{"RLE", 0, std::nullopt}), "n", 0),
              (Bytes{'a', 'b'}));
}

// Entries from streams: the store fallback decides by the coded size and
// keeps an explicit method; the written archive expands either way.
TEST(ArchiveWriterTest, StoresWhatCodingDoesNotShrinkUnlessTheMethodIsExplicit) {
    const Bytes random = test::RandomBytes(5000, 5);
    const Bytes zeros(5000, 0);
    const struct {
        const Bytes* plain;
        PackMethod method;
        bool storeIfNotSmaller;
        PackMethod written;
    } cases[] = {
        {&random, PackMethod::Lzh5, true, PackMethod::None},
        {&random, PackMethod::Lzh5, false, PackMethod::Lzh5},
        {&random, PackMethod::Rle, true, PackMethod::None},
        {&zeros, PackMethod::Lzh1, true, PackMethod::Lzh1},
        {&zeros, PackMethod::None, true, PackMethod::None},
    };
    for (const int32_t key : {0, 77}) {
        std::vector<pack::PackEntry> entries;
        for (const auto& c : cases) {
            const Bytes* plain = c.plain;
            entries.push_back(
                {"e" + std::to_string(entries.size()), static_cast<int64_t>(plain->size()),
                 [plain] { return std::make_unique<TSpanStream>(plain->data(), plain->size()); }, c.method,
                 c.storeIfNotSmaller, std::nullopt});
        }
        TMemoryStream out;
        const auto written = pack::WriteArchive(out, entries, PackOptions{"LH5", key, std::nullopt});
        for (size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(written[i].method, cases[i].written);
            EXPECT_EQ(ExpandNamed(out.Bytes(), "e" + std::to_string(i), key), *cases[i].plain);
        }
    }
}

// A large entry is judged from samples before it is coded: one that would
// shrink by more than 1% is coded wherever its compressible part lies, and
// one whose samples all fail to shrink is stored without being coded, even
// when coding would have saved the little that no sample saw.
TEST(ArchiveWriterTest, LargeEntriesAreStoredWhenTheirSamplesDoNotShrink) {
    constexpr size_t kSize = 4 << 20;
    const Bytes random = test::RandomBytes(kSize, 3);
    Bytes prose;
    for (int i = 0; prose.size() < kSize; ++i) {
        const std::string line =
            "Entry " + std::to_string(i * 7919 % 100003) + " expands into the Windows directory.\r\n";
        prose.insert(prose.end(), line.begin(), line.end());
    }
    // part(from, count, source): `count` bytes of `source` over random ones
    auto part = [&](size_t from, size_t count, const Bytes& source) {
        Bytes b = random;
        std::copy_n(source.begin(), count, b.begin() + static_cast<ptrdiff_t>(from));
        return b;
    };
    const std::vector<pack::Sample> samples = pack::PlanSamples(kSize);
    ASSERT_GE(samples.size(), 2u);
    const size_t gapStart = static_cast<size_t>(samples[60].offset) + samples[60].size;
    const size_t gap = static_cast<size_t>(samples[61].offset) - gapStart;
    std::mt19937 rng(9);
    Bytes narrow(kSize);  // 224 byte values: coding saves about 1.8%
    for (uint8_t& b : narrow) b = static_cast<uint8_t>(rng() % 224);
    const size_t share = kSize * 3 / 200;  // 1.5% text
    const struct {
        Bytes plain;
        bool storeIfNotSmaller;
        PackMethod written;
    } cases[] = {
        {random, true, PackMethod::None},
        {random, false, PackMethod::Lzh5},
        {part(kSize - share, share, prose), true, PackMethod::Lzh5},
        {part(0, share, prose), true, PackMethod::Lzh5},
        {narrow, true, PackMethod::Lzh5},
        {part(gapStart + gap / 4, gap / 2, prose), true, PackMethod::None},
    };
    std::vector<pack::PackEntry> entries;
    for (const auto& c : cases) {
        const Bytes* plain = &c.plain;
        entries.push_back({"e" + std::to_string(entries.size()), static_cast<int64_t>(plain->size()),
                           [plain] { return std::make_unique<TSpanStream>(plain->data(), plain->size()); },
                           PackMethod::Lzh5, c.storeIfNotSmaller, std::nullopt});
    }
    Bytes first;
    for (const unsigned threads : {1u, 2u}) {
        PackOptions options{"LH5", 0, std::nullopt};
        options.encode.threads = threads;
        TMemoryStream out;
        std::vector<int> reached(entries.size(), 0);  // reports of the whole size
        const auto written = pack::WriteArchive(out, entries, options, [&](size_t entry, int64_t done) {
            reached[entry] += done == entries[entry].size;
        });
        // An output that cannot seek gets each stored entry summed before its
        // header instead of patched behind it: the same bytes.
        test::RecordingStream forwardOnly;
        pack::WriteArchive(forwardOnly, entries, options);
        EXPECT_EQ(forwardOnly.Bytes(), out.Bytes()) << threads;
        for (size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(reached[i], 1);
            EXPECT_EQ(written[i].method, cases[i].written);
            EXPECT_EQ(written[i].checksum, pack::ByteSum(cases[i].plain));
            if (written[i].method != PackMethod::None) {
                // Coding saves more than 1%, except where stored is asked for.
                EXPECT_LT(written[i].storedSize * 100,
                          static_cast<int64_t>(kSize) * (cases[i].storeIfNotSmaller ? 99 : 101));
            }
            if (threads == 1) {
                EXPECT_EQ(ExpandNamed(out.Bytes(), "e" + std::to_string(i)), cases[i].plain);
            }
        }
        if (threads == 1) first = out.Bytes();
        EXPECT_EQ(out.Bytes(), first) << threads;
    }
    // Coded in full, the entry whose text no sample saw would have shrunk.
    EXPECT_LT(pack::EncodeLzh5(cases[5].plain).size(), kSize);
}

// The LH5 floor of a sample never exceeds its coded size, whatever the
// blocks, matches and alphabets make of it, and it spares coding random
// bytes (it reaches within 1% of their size).
TEST(ArchiveWriterTest, Lzh5FloorIsNeverAboveTheCodedSize) {
    std::mt19937 rng(4);  // 32-bit values in a wider type
    auto make = [&](size_t size, auto byteAt) {
        Bytes b(size);
        for (size_t i = 0; i < size; ++i)
            b[i] = static_cast<uint8_t>(byteAt(i, static_cast<uint32_t>(rng()), b));
        return b;
    };
    const Bytes samples[] = {
        test::RandomBytes(16384, 6),
        test::RandomBytes(4096, 7),
        make(16384, [](size_t i, uint32_t r, const Bytes&) { return i < 8192 ? r % 128 : 128 + r % 128; }),
        make(16384, [](size_t i, uint32_t r, const Bytes&) { return i / 4096 * 64 + r % 64; }),
        make(16384, [](size_t, uint32_t r, const Bytes&) { return r % 224; }),
        make(16384, [](size_t i, uint32_t r, const Bytes&) { return i % 4096 < 100 ? 0 : r; }),
        make(16384,
             [](size_t i, uint32_t r, const Bytes& b) { return r % 2 ? r >> 8 : b[i > 5 ? i - 5 : 0]; }),
        make(12288, [](size_t i, uint32_t, const Bytes&) { return i * i % 251; }),
    };
    pack::ShrinkEstimate estimate(PackMethod::Lzh5, false);
    for (const Bytes& sample : samples) {
        EXPECT_LE(estimate.Lzh5Floor(sample), pack::EncodeLzh5(sample).size()) << sample.size();
    }
    EXPECT_GE(estimate.Lzh5Floor(samples[0]) * 100, uint64_t{16384} * 99);
}

// The sum works on words: lengths around its word and block sizes, bytes
// at their largest (where lanes fill up) and random ones.
TEST(ArchiveWriterTest, ByteSumIsTheSumOfEveryByte) {
    const Bytes random = test::RandomBytes(5000, 8);
    for (const size_t size : {0u, 7u, 8u, 1023u, 1024u, 1025u, 3000u, 5000u}) {
        for (const Bytes& bytes : {Bytes(size, 0xFF), Bytes(random.begin(), random.begin() + size)}) {
            uint32_t sum = 0;
            for (const uint8_t b : bytes) sum += b;
            EXPECT_EQ(pack::ByteSum(bytes), sum) << size;
        }
    }
}

TEST(ArchiveWriterTest, AnInputThatChangesSizeIsRefused) {
    const Bytes small(100, 'x');
    const Bytes random = test::RandomBytes(3 << 20, 5);  // stored as its samples show
    const struct {
        const Bytes* plain;
        PackMethod method;
        bool storeIfNotSmaller;
    } kinds[] = {{&small, PackMethod::None, false},
                 {&small, PackMethod::Rle, false},
                 {&random, PackMethod::Lzh5, true}};
    for (const auto& kind : kinds) {
        const auto size = static_cast<int64_t>(kind.plain->size());
        for (const int64_t announced : {size - 1, size + 1}) {
            for (const unsigned threads : {1u, 3u}) {
                // The bad entry between good ones, so that with threads it
                // fails on a worker while others are coded.
                std::vector<pack::PackEntry> entries;
                for (const int64_t entrySize : {size, announced, size}) {
                    entries.push_back({"e" + std::to_string(entries.size()), entrySize,
                                       [&] {
                                           return std::make_unique<TSpanStream>(kind.plain->data(),
                                                                                kind.plain->size());
                                       },
                                       kind.method, kind.storeIfNotSmaller, std::nullopt});
                }
                PackOptions options{"RLE", 0, std::nullopt};
                options.encode.threads = threads;
                TMemoryStream out;
                EXPECT_THROW(pack::WriteArchive(out, entries, options), pack::PackError)
                    << announced << " " << threads;
                test::RecordingStream forwardOnly;  // cannot seek
                EXPECT_THROW(pack::WriteArchive(forwardOnly, entries, options), pack::PackError) << announced;
            }
        }
    }
}

// Entries coded side by side: every thread count writes the same archive,
// and progress ends at every entry's size.
TEST(ArchiveWriterTest, EveryThreadCountWritesTheSameArchive) {
    std::mt19937 rng(3);
    std::vector<Bytes> plains;
    for (int i = 0; i < 24; ++i) {
        Bytes plain(rng() % 40000);
        for (size_t j = 0; j < plain.size(); ++j)
            plain[j] = static_cast<uint8_t>(j % 251 < 40 ? rng() : j / 7);
        plains.push_back(std::move(plain));
    }
    plains[5].clear();
    plains[9].assign(1500000, 0);  // larger than one LH5 segment: coded on the calling thread
    for (size_t j = 0; j < plains[9].size(); j += 3) plains[9][j] = static_cast<uint8_t>(rng() & 3);
    const PackMethod methods[] = {PackMethod::Lzh5, PackMethod::Rle, PackMethod::Lzh1, PackMethod::None};
    std::vector<pack::PackEntry> entries;
    for (size_t i = 0; i < plains.size(); ++i) {
        const Bytes* plain = &plains[i];
        entries.push_back({"f" + std::to_string(i), static_cast<int64_t>(plain->size()),
                           [plain] { return std::make_unique<TSpanStream>(plain->data(), plain->size()); },
                           methods[i % std::size(methods)], i % 5 == 0,
                           i % 7 == 0 ? std::optional<int32_t>{1} : std::nullopt});
    }
    Bytes reference;
    for (const unsigned threads : {1u, 2u, 3u, 8u}) {
        PackOptions options{"LH5", 99, std::nullopt};
        options.encode.threads = threads;
        std::vector<int64_t> last(entries.size(), 0);
        TMemoryStream out;
        pack::WriteArchive(out, entries, options, [&](size_t entry, int64_t done) { last[entry] = done; });
        for (size_t i = 0; i < entries.size(); ++i)
            EXPECT_EQ(last[i], entries[i].size) << threads << " " << i;
        if (threads == 1) {
            reference = out.Bytes();
            for (size_t i = 0; i < plains.size(); ++i)
                EXPECT_EQ(ExpandNamed(reference, entries[i].name, 99), plains[i]);
        } else {
            EXPECT_EQ(out.Bytes(), reference) << threads;
        }
    }
}

// Beyond its memory bound the spill goes to a temporary file and comes back whole.
TEST(ArchiveWriterTest, SpillBufferKeepsEveryByte) {
    for (const size_t limit : {size_t{0}, size_t{7}, size_t{1} << 20}) {
        pack::SpillBuffer spill("", limit);
        Bytes expected;
        for (int piece = 0; piece < 50; ++piece) {
            const Bytes bytes(static_cast<size_t>(piece) * 3001, static_cast<uint8_t>(piece));
            spill.Append(bytes);
            expected.insert(expected.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(spill.Size(), static_cast<int64_t>(expected.size()));
        TMemoryStream out;
        spill.MoveTo(out);
        EXPECT_EQ(out.Bytes(), expected) << limit;
        EXPECT_EQ(spill.Size(), 0);
    }
}

// A spill in a folder with a non-ASCII name (given in UTF-8) leaves nothing there.
TEST(ArchiveWriterTest, SpillFileInAFolderLeavesNothingBehind) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / (fs::path(u8"kq-spill-été-") += std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    {
        const std::u8string name = dir.u8string();
        pack::SpillBuffer spill(std::string(reinterpret_cast<const char*>(name.data()), name.size()), 0);
        spill.Append(Bytes(5000, 7));
        TMemoryStream out;
        spill.MoveTo(out);
        EXPECT_EQ(out.Bytes(), Bytes(5000, 7));
    }
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kq
