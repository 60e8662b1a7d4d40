#include <gtest/gtest.h>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "tests/TestArchives.h"
#include "tests/TestStreams.h"

namespace kq {
namespace {

using test::Bytes;

// Literal bytes that RLE passes through unchanged (no 0x94).
Bytes Literals(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>('a' + i % 26);
    return b;
}

struct RunResult {
    Bytes output;
    std::vector<int32_t> writes;
    std::vector<int32_t> progress;
    uint32_t checksum = 0xFFFFFFFF;
};

// The stored bytes hold no marker once unscrambled, so they expand to as
// many bytes.
RunResult RunRle(const Bytes& stored, int32_t key = 0, bool locked = false) {
    TKQInstCompress component;
    component.Key = key;
    RunResult result;
    component.OnShowProgress = [&](int32_t& percent) { result.progress.push_back(percent); };
    TMemoryStream source(stored);
    test::RecordingStream dest;
    const auto size = static_cast<int32_t>(stored.size());
    RunCodec(component, dest, source, size, size, kMethodRle, result.checksum, true, locked);
    result.output = dest.Bytes();
    result.writes = dest.writes;
    return result;
}

TEST(ProgressPercentTest, Values) {
    struct Case {
        int32_t done, total, percent;
    };
    const Case cases[] = {
        {8192, 20000, 40},
        {16384, 20000, 81},
        {20000, 20000, 100},
        {1, 8192, 0},
        {100000, 100000, 100},
        {8192, 1000000, 0},
        {16384, 1000000, 1},
        {1000000, 1000000, 100},
        {2147483647, 2147483647, 100},
        {1073741824, 2147483647, 50},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressPercent(c.done, c.total), c.percent) << c.done << "/" << c.total;
}

TEST(CodecPipelineTest, ProgressPerChunk) {
    EXPECT_EQ(RunRle(Literals(20000)).progress, (std::vector<int32_t>{40, 81, 100}));
    EXPECT_EQ(RunRle(Literals(1)).progress, (std::vector<int32_t>{100}));
    EXPECT_EQ(RunRle(Literals(8192)).progress, (std::vector<int32_t>{100}));
    EXPECT_TRUE(RunRle({}).progress.empty());

    const auto big = RunRle(Literals(1000000)).progress;
    ASSERT_EQ(big.size(), 123u);  // ceil(1000000 / 8192)
    EXPECT_EQ(big[0], 0);
    EXPECT_EQ(big[1], 1);
    EXPECT_EQ(big[2], 2);
    EXPECT_EQ(big.back(), 100);
}

TEST(CodecPipelineTest, OutputWritesAreWholeBuffers) {
    EXPECT_EQ(RunRle(Literals(8192)).writes, (std::vector<int32_t>{8192}));
    EXPECT_EQ(RunRle(Literals(8193)).writes, (std::vector<int32_t>{8192, 1}));
    EXPECT_EQ(RunRle(Literals(20000)).writes, (std::vector<int32_t>{8192, 8192, 3616}));
    EXPECT_TRUE(RunRle({}).writes.empty());
}

TEST(CodecPipelineTest, ChecksumOfPlainBytes) {
    EXPECT_EQ(RunRle({'a', 'b', 'c'}).checksum, 294u);
    // 0xFF * 20000 does not overflow 32 bits, but the sum wraps without error
    // all the same on long entries.
    const Bytes ff(20000, 0x41);
    EXPECT_EQ(RunRle(ff).checksum, 20000u * 0x41);
}

TEST(CodecPipelineTest, KeyUnscramblesOnlyLockedEntries) {
    const int32_t key = 0x04030201;
    const Bytes plain = Literals(10);
    const Bytes scrambled = test::Scramble(plain, key);
    EXPECT_EQ(RunRle(scrambled, key, true).output, plain);
    EXPECT_EQ(RunRle(scrambled, key, false).output, scrambled);
    EXPECT_EQ(RunRle(plain, 0, true).output, plain);
    // Least significant byte first.
    const Bytes one = RunRle({0x00, 0x00, 0x00, 0x00, 0x00}, key, true).output;
    EXPECT_EQ(one, (Bytes{0x01, 0x02, 0x03, 0x04, 0x01}));
    // A negative key counts as a key.
    EXPECT_EQ(RunRle(test::Scramble(plain, -2), -2, true).output, plain);
}

TEST(CodecPipelineTest, ScramblingContinuesAcrossChunks) {
    const int32_t key = 0x7A5B3C1D;
    const Bytes plain = Literals(20001);  // a chunk boundary does not restart the key index
    EXPECT_EQ(RunRle(test::Scramble(plain, key), key, true).output, plain);
}

TEST(CodecPipelineTest, XorWithKeyCyclesThroughKeyBytes) {
    TMemoryStream source, dest;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &dest;
    setup.key = static_cast<int32_t>(0xA1B2C3D4u);
    CodecPipeline pipe(std::move(setup));
    const uint8_t expected[] = {0xD4, 0xC3, 0xB2, 0xA1, 0xD4};
    for (uint8_t e : expected) EXPECT_EQ(pipe.XorWithKey(0), e);
}

TEST(CodecPipelineTest, CompressModeRefusesBuiltInMethods) {
    struct Case {
        uint8_t method;
        const char* message;
    };
    const Case cases[] = {{kMethodRle, "RLE compression disabled in this build"},
                          {kMethodLzh1, "LZH1 compression disabled in this build"},
                          {kMethodLzh5, "LZH5 compression disabled in this build"}};
    for (const Case& c : cases) {
        TKQInstCompress component;
        TMemoryStream source(Literals(10)), dest;
        uint32_t checksum = 0;
        try {
            RunCodec(component, dest, source, 10, 10, c.method, checksum, false, false);
            ADD_FAILURE() << "no exception";
        } catch (const EUnrecognizedCompressionMethod& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_TRUE(dest.Bytes().empty());
    }
    TKQInstCompress component;
    TMemoryStream source(Literals(10)), dest;
    uint32_t checksum = 123;
    RunCodec(component, dest, source, 10, 10, kMethodStored, checksum, false, false);
    EXPECT_EQ(checksum, 0u);  // nothing read: the input sum stays 0
    EXPECT_TRUE(dest.Bytes().empty());
}

TEST(CodecPipelineTest, BudgetRaisesUnableToCompress) {
    TMemoryStream source;
    test::RecordingStream dest;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &dest;
    setup.budget = 8195;
    CodecPipeline pipe(std::move(setup));
    for (int i = 0; i < 8195; ++i) pipe.WriteByte(static_cast<uint32_t>(i));
    try {
        pipe.WriteByte(1);
        FAIL() << "no exception";
    } catch (const EUnableToCompress& e) {
        EXPECT_EQ(e.Message(), "Could not compress data");
    }
    pipe.Flush();
    EXPECT_EQ(dest.writes, (std::vector<int32_t>{8192, 3}));
}

TEST(CodecPipelineTest, ZeroBudgetRefusesTheFirstByte) {
    TMemoryStream source, dest;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &dest;
    setup.budget = 0;
    CodecPipeline pipe(std::move(setup));
    EXPECT_THROW(pipe.WriteByte(0), EUnableToCompress);
}

TEST(CodecPipelineTest, EndOfInputAtStoredSizeAndShortSource) {
    TMemoryStream source(Bytes{1, 2, 3, 4, 5}), dest;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &dest;
    setup.storedSize = 3;  // never reads beyond the entry
    CodecPipeline pipe(std::move(setup));
    EXPECT_FALSE(pipe.EndOfInput());
    EXPECT_EQ(pipe.ReadByte(), 1);
    EXPECT_EQ(pipe.ReadByte(), 2);
    EXPECT_EQ(pipe.ReadByte(), 3);
    EXPECT_FALSE(pipe.EndOfInput());
    EXPECT_EQ(pipe.ReadByte(), 0);
    EXPECT_TRUE(pipe.EndOfInput());
    EXPECT_EQ(pipe.ReadByte(), 0);
    EXPECT_EQ(source.Position(), 3);

    TMemoryStream shortSource(Bytes{9}), dest2;
    CodecPipeline::Setup s2;
    s2.source = &shortSource;
    s2.destination = &dest2;
    s2.storedSize = 100;  // the source ends early
    CodecPipeline pipe2(std::move(s2));
    EXPECT_EQ(pipe2.ReadByte(), 9);
    EXPECT_EQ(pipe2.ReadByte(), 0);
    EXPECT_TRUE(pipe2.EndOfInput());
}

TEST(CodecPipelineTest, DestinationWriteErrorPassesThrough) {
    TKQInstCompress component;
    TMemoryStream source(Literals(9000));
    test::FullDiskStream dest(100);
    uint32_t checksum = 0;
    EXPECT_THROW(RunCodec(component, dest, source, 9000, 0, kMethodRle, checksum, true, false),
                 EStreamWriteError);
}

// Writing in stretches gives the same writes, bytes, checksum and budget
// failure as writing byte by byte, also when a stretch fills a buffer
// begun before it and goes on past another whole one.
TEST(CodecPipelineTest, WriteBytesEqualsWriteByte) {
    Bytes data(50000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 300);
    struct Run {
        std::vector<int32_t> writes;
        Bytes bytes;
        uint32_t sum;
    };
    auto run = [&](size_t stretch, int32_t budget, bool scramble) {
        TMemoryStream source;
        test::RecordingStream dest;
        CodecPipeline::Setup setup;
        setup.source = &source;
        setup.destination = &dest;
        setup.budget = budget;
        setup.key = 0x0badf00d;
        setup.scrambleOutput = scramble;
        CodecPipeline pipe(std::move(setup));
        try {
            for (size_t at = 0; at < data.size(); at += stretch) {
                const size_t n = std::min(stretch, data.size() - at);
                if (stretch == 1) {
                    pipe.WriteByte(data[at]);
                } else {
                    pipe.WriteBytes(data.data() + at, n);
                }
            }
        } catch (const EUnableToCompress&) {
        }
        const uint32_t sum = pipe.OutputSum();
        pipe.Flush();
        return Run{dest.writes, dest.Bytes(), sum};
    };
    for (int32_t budget : {2147483647, 8192, 8193, 12345, 16384, 30000}) {
        for (bool scramble : {false, true}) {
            const Run single = run(1, budget, scramble);
            for (size_t stretch : {size_t{3}, size_t{256}, size_t{8191}, size_t{17000}, size_t{50000}}) {
                const Run bulk = run(stretch, budget, scramble);
                EXPECT_EQ(bulk.writes, single.writes) << budget << " " << stretch;
                EXPECT_EQ(bulk.bytes, single.bytes) << budget << " " << stretch;
                EXPECT_EQ(bulk.sum, single.sum) << budget << " " << stretch;
            }
        }
    }
}

}  // namespace
}  // namespace kq
