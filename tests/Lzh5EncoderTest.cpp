#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <stdexcept>
#include <unordered_set>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompressPack/BitWriter.h"
#include "InstCompressPack/Encoders.h"
#include "InstCompressPack/Lzh5Block.h"
#include "InstCompressPack/Lzh5Segment.h"
#include "InstCompressPack/WorkerPool.h"
#include "tests/LhasaReference.h"
#include "tests/TestData.h"
#include "tests/TestPipeline.h"

namespace kq {
namespace {

using test::Bytes;

Bytes Expand(const Bytes& coded, size_t size) {
    return test::RunDecoder(coded, [&](CodecPipeline& pipe) { DecodeLzh5(pipe, static_cast<int32_t>(size)); })
        .output;
}

// Bytes that favour a few values, with short repeats now and then.
Bytes Skewed(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::geometric_distribution<int> value(0.08);
    Bytes out;
    while (out.size() < size) {
        if (out.size() > 300 && rng() % 8 == 0) {
            const size_t from = out.size() - 1 - rng() % 300;
            const size_t length = 3 + rng() % 40;
            for (size_t k = 0; k < length; ++k) out.push_back(out[from + k]);
        } else {
            out.push_back(static_cast<uint8_t>(value(rng)));
        }
    }
    out.resize(size);
    return out;
}

std::vector<std::pair<std::string, Bytes>> Inputs() {
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    Bytes cycle;  // period 8192 + 1: matches at the longest distance
    for (int i = 0; i < 3; ++i) {
        const Bytes part = test::RandomBytes(8193, 5);
        cycle.insert(cycle.end(), part.begin(), part.end());
    }
    Bytes mixed = test::Words(200000, 3);
    const Bytes noise = test::RandomBytes(150000, 4);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    return {
        {"one byte", {'x'}},
        {"two bytes", {'x', 'y'}},
        {"three equal", {7, 7, 7}},
        {"all values", all},
        {"zeros", Bytes(70000, 0)},
        {"markers", Bytes(70000, 0x94)},
        {"longest distance", cycle},
        {"prose, many blocks", test::Words(900000, 1)},
        {"skewed", Skewed(300000, 2)},
        {"prose then noise", mixed},
        {"random, many blocks", test::RandomBytes(200000, 6)},
    };
}

void ExpectRoundTrip(const Bytes& coded, const Bytes& input, const std::string& what) {
    EXPECT_EQ(Expand(coded, input.size()), input) << what;
#ifdef KQ_HAVE_LHASA
    EXPECT_EQ(test::ExpandWithLhasa(coded, input.size(), "-lh5-"), input) << what << " (lhasa)";
#endif
}

// Both parses round trip; the best one never codes compressible data larger.
TEST(Lzh5EncoderTest, RoundTripsHereAndInLhasa) {
    EXPECT_TRUE(pack::EncodeLzh5(Bytes{}).empty());
    EXPECT_TRUE(pack::EncodeLzh5(Bytes{}, {true, 1}).empty());
    for (const auto& [what, input] : Inputs()) {
        const Bytes coded = pack::EncodeLzh5(input);
        const Bytes best = pack::EncodeLzh5(input, {true, 1});
        ASSERT_FALSE(coded.empty()) << what;
        ExpectRoundTrip(coded, input, what);
        ExpectRoundTrip(best, input, what + " (best)");
        if (input.size() >= 10000 && coded.size() < input.size() * 9 / 10) {
            EXPECT_LE(best.size(), coded.size()) << what;
        }
    }
    const Bytes prose = test::Words(300000, 14);
    EXPECT_LT(pack::EncodeLzh5(prose, {true, 1}).size() * 100, pack::EncodeLzh5(prose).size() * 98);
}

// Feeds `input` in pieces of varying odd sizes.
Bytes EncodeInPieces(const Bytes& input, const pack::EncodeOptions& options, size_t segmentSize) {
    Bytes coded;
    const auto encoder = pack::lzh5::MakeSegmentedEncoder(
        [&](std::span<const uint8_t> piece) { coded.insert(coded.end(), piece.begin(), piece.end()); },
        options, segmentSize);
    static constexpr size_t kPieces[] = {1, 7, 4093, 65537, 3, 12289};
    for (size_t done = 0, k = 0; done < input.size(); ++k) {
        const size_t piece = std::min(kPieces[k % std::size(kPieces)], input.size() - done);
        encoder->Put(std::span(input).subspan(done, piece));
        done += piece;
    }
    encoder->Finish();
    return coded;
}

// Segments are coded apart with the window before them as history and
// joined at bit offsets: the stream is the same for every thread count and
// any piecing of the input, and expands here and in lhasa.
TEST(Lzh5EncoderTest, SegmentedStreamIsTheSameForEveryThreadCount) {
    Bytes input = test::Words(50000, 21);
    for (const Bytes& part :
         {Skewed(30000, 22), Bytes(20000, 0), test::RandomBytes(10000, 23), test::Words(20000, 24)}) {
        input.insert(input.end(), part.begin(), part.end());
    }
    for (const bool best : {false, true}) {
        // Segments below the window size take their history from several.
        for (const size_t segmentSize : {size_t{5000}, size_t{40000}}) {
            const std::string what = (best ? "best, segment " : "segment ") + std::to_string(segmentSize);
            const Bytes reference = EncodeInPieces(input, {best, 1}, segmentSize);
            ExpectRoundTrip(reference, input, what);
            for (const unsigned threads : {2u, 3u}) {
                EXPECT_EQ(EncodeInPieces(input, {best, threads}, segmentSize), reference)
                    << what << ", threads " << threads;
            }
        }
    }
    // The whole-input function is the incremental encoder.
    const Bytes large = test::Words(pack::lzh5::kSegmentSize * 3 / 2, 25);
    EXPECT_EQ(EncodeInPieces(large, {false, 2}, pack::lzh5::kSegmentSize), pack::EncodeLzh5(large));
}

TEST(BitJoinerTest, JoinsStreamsAtAnyBitOffset) {
    std::mt19937 rng(31);
    for (int round = 0; round < 40; ++round) {
        Bytes expected, joined;
        pack::BitWriter whole(expected);
        pack::BitJoiner joiner;
        for (int part = 0; part < 6; ++part) {
            Bytes bytes;
            pack::BitWriter writer(bytes);
            for (int fields = static_cast<int>(rng() % 30); fields > 0; --fields) {
                const auto n = static_cast<uint32_t>(rng() % 17);
                const auto value = static_cast<uint32_t>(rng()) & ((uint32_t{1} << n) - 1);
                writer.Put(n, value);
                whole.Put(n, value);
            }
            const size_t bits = writer.BitCount();
            writer.Finish();
            joiner.Append(bytes, bits, joined);
        }
        whole.Finish();
        joiner.Finish(joined);
        EXPECT_EQ(joined, expected) << "round " << round;
    }
}

TEST(WorkerPoolTest, CarriesResultsAndExceptionsToTheCaller) {
    pack::WorkerPool pool(2);
    std::vector<std::future<int>> results;
    for (int i = 0; i < 20; ++i) {
        results.push_back(pool.Submit([i] {
            if (i == 7) throw std::runtime_error("seven");
            return i * i;
        }));
    }
    for (int i = 0; i < 20; ++i) {
        if (i == 7) {
            EXPECT_THROW(results[i].get(), std::runtime_error);
        } else {
            EXPECT_EQ(results[i].get(), i * i);
        }
    }
}

// The integer logarithm that prices parses and places block ends: exact at
// powers of two, within two units of the real one elsewhere, never falling.
TEST(Lzh5EncoderTest, IntegerLogarithm) {
    constexpr double unit = 1 << pack::lzh5::kLog2FractionBits;
    uint32_t previous = 0;
    for (uint64_t x = 1; x <= UINT32_MAX; x += x < 70000 ? 1 : x / 1000) {
        const uint32_t got = pack::lzh5::Log2Fixed(static_cast<uint32_t>(x));
        ASSERT_LE(std::abs(got - std::log2(static_cast<double>(x)) * unit), 2.0) << x;
        if (std::has_single_bit(x)) {
            ASSERT_EQ(got, (std::bit_width(x) - 1) << pack::lzh5::kLog2FractionBits) << x;
        }
        ASSERT_GE(got, previous) << x;
        previous = got;
    }
}

TEST(Lzh5EncoderTest, CompressesAndSplitsBlocks) {
    EXPECT_LT(pack::EncodeLzh5(Bytes(70000, 0)).size(), 300u);
    EXPECT_LT(pack::EncodeLzh5(test::Words(900000, 1)).size(), 900000u / 4);
    EXPECT_LT(pack::EncodeLzh5(test::RandomBytes(200000, 6)).size(), 200000u + 200000u / 100);
    // 65535 random bytes without a repeated three-byte string are 65535
    // literals under one flat code: one block whose count field is 65535,
    // the most it holds (0 would mean 65536 to some readers only).
    std::mt19937 rng(6);
    Bytes flat;
    std::unordered_set<uint32_t> seen;
    while (flat.size() < 65535) {
        const auto b = static_cast<uint8_t>(rng());
        const size_t n = flat.size();
        if (n >= 2 && !seen.insert(uint32_t{flat[n - 2]} << 16 | uint32_t{flat[n - 1]} << 8 | b).second)
            continue;
        flat.push_back(b);
    }
    const Bytes coded = pack::EncodeLzh5(flat);
    EXPECT_EQ(coded[0] << 8 | coded[1], 65535);
    ExpectRoundTrip(coded, flat, "flat");
    // Prose then noise (over 30000 symbols in all) codes smaller as
    // separate blocks.
    Bytes mixed = test::Words(30000, 7);
    const Bytes noise = test::RandomBytes(30000, 8);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    const Bytes split = pack::EncodeLzh5(mixed);
    EXPECT_LT(split[0] << 8 | split[1], 30000);
    EXPECT_EQ(Expand(split, mixed.size()), mixed);
}

// Corrupt streams either expand to something or raise the bad-table error;
// under the sanitizers this also proves no access outside the tables.
TEST(Lzh5EncoderTest, CorruptStreamsFailCleanly) {
    const Bytes plain = Skewed(60000, 12);
    const Bytes coded = pack::EncodeLzh5(plain);
    std::mt19937 rng(13);
    int badTables = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes damaged = coded;
        // Mostly the first block header, sometimes anywhere.
        const size_t span = round % 4 == 0 ? damaged.size() : std::min<size_t>(damaged.size(), 80);
        for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips) {
            damaged[rng() % span] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        const bool cut = round % 10 == 0;
        if (cut) damaged.resize(rng() % damaged.size());
        try {
            const Bytes out = Expand(damaged, plain.size());
            EXPECT_FALSE(cut) << "a cut stream ran out before the expected size";
            EXPECT_GE(out.size(), plain.size());
            EXPECT_LE(out.size(), plain.size() + 255);
        } catch (const ELZHBadDecodeTable&) {
            ++badTables;
        } catch (const EBadChecksum&) {
            // The stream ran out: a cut, or a damaged length code.
        }
    }
    EXPECT_GT(badTables, 100);
    // Pure noise as well.
    for (int round = 0; round < 200; ++round) {
        const Bytes noise = test::RandomBytes(64 + rng() % 2000, static_cast<uint32_t>(round));
        try {
            Expand(noise, 5000);
        } catch (const ELZHBadDecodeTable&) {
        } catch (const EBadChecksum&) {
        }
    }
}

TEST(Lzh5EncoderTest, ReportsProgress) {
    std::vector<size_t> reports;
    pack::EncodeLzh5(test::Words(3 << 20, 9), [&](size_t done) { reports.push_back(done); });
    ASSERT_GE(reports.size(), 3u);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), size_t{3} << 20);
}

#ifndef _WIN32
struct LhaMember {
    std::string method;
    Bytes data;
};

// The method and raw data of the first member of a level 0 or level 2 LHA
// archive.
LhaMember ReadLhaMember(const Bytes& archive) {
    if (archive.size() < 22) return {};
    const std::string method(archive.begin() + 2, archive.begin() + 7);
    const uint32_t packed = archive[7] | archive[8] << 8 | archive[9] << 16 | uint32_t{archive[10]} << 24;
    size_t offset = 0;
    if (archive[20] == 0)
        offset = size_t{archive[0]} + 2;
    else if (archive[20] == 2)
        offset = archive[0] | archive[1] << 8;
    else
        return {};
    if (offset + packed > archive.size()) return {};
    return {method, Bytes(archive.begin() + static_cast<ptrdiff_t>(offset),
                          archive.begin() + static_cast<ptrdiff_t>(offset + packed))};
}

// Streams of an independent -lh5- encoder expand byte for byte. Needs
// jlha (Java) and a POSIX shell; skipped without jlha.
TEST(Lzh5EncoderTest, ExpandsAnIndependentEncodersStreams) {
    if (std::system("command -v jlha > /dev/null 2>&1") != 0) GTEST_SKIP() << "jlha not installed";
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "kq-lh5-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    int index = 0;
    int expanded = 0;
    for (const auto& [what, input] : Inputs()) {
        const std::string number = std::to_string(index++);
        const fs::path file = dir / "in" += number;
        const fs::path archive = (dir / "a" += number) += ".lzh";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        const std::string command = "cd '" + dir.string() + "' && jlha co5q '" + archive.filename().string() +
                                    "' '" + file.filename().string() + "' > /dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << what;
        std::ifstream in(archive, std::ios::binary);
        const Bytes lzh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const LhaMember member = ReadLhaMember(lzh);
        if (member.method == "-lh0-") continue;  // stored: it did not shrink
        ASSERT_EQ(member.method, "-lh5-") << what;
        EXPECT_EQ(Expand(member.data, input.size()), input) << what;
        ++expanded;
    }
    fs::remove_all(dir);
    EXPECT_GE(expanded, 4);
}
#endif

}  // namespace
}  // namespace kq
