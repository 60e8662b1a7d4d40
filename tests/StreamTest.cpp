#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"
#include "tests/TestStreams.h"

namespace kq {
namespace {

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

TEST(StreamTest, CopyFromCopiesInChunksOf61440) {
    TMemoryStream source(Pattern(150000));
    source.SetPosition(1000);
    test::RecordingStream dest;
    EXPECT_EQ(dest.CopyFrom(source, 140000), 140000);
    EXPECT_EQ(dest.writes, (std::vector<int32_t>{61440, 61440, 17120}));
    EXPECT_TRUE(std::equal(dest.Bytes().begin(), dest.Bytes().end(), Pattern(150000).begin() + 1000));
}

TEST(StreamTest, CopyFromZeroCopiesWholeSourceFromStart) {
    TMemoryStream source(Pattern(5000));
    source.SetPosition(4000);
    TMemoryStream dest;
    EXPECT_EQ(dest.CopyFrom(source, 0), 5000);
    EXPECT_EQ(dest.Bytes(), Pattern(5000));
}

TEST(StreamTest, CopyFromBeyondSourceRaisesReadError) {
    TMemoryStream source(Pattern(100));
    TMemoryStream dest;
    try {
        dest.CopyFrom(source, 101);
        FAIL() << "no exception";
    } catch (const EStreamReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
        EXPECT_STREQ(e.ClassName(), "EStreamReadError");
    }
}

TEST(StreamTest, ShortWriteRaisesWriteError) {
    test::FullDiskStream full(10);
    const std::vector<uint8_t> data(11, 1);
    EXPECT_THROW(full.WriteBuffer(data.data(), 11), EStreamWriteError);
}

TEST(StreamTest, FileOpenAndCreateFailuresNameTheFile) {
    const std::string missing = "/nonexistent-dir/file.bin";
    try {
        TFileStream f(missing, FileMode::OpenReadShared);
        FAIL();
    } catch (const EFileOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + missing);
    }
    try {
        TFileStream f(missing, FileMode::Create);
        FAIL();
    } catch (const EFileCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + missing);
    }
}

TEST(StreamTest, FileRoundTripAndSeek) {
    const auto path = (std::filesystem::temp_directory_path() / "kq_stream_test.bin").string();
    {
        TFileStream out(path, FileMode::Create);
        const auto data = Pattern(1000);
        out.WriteBuffer(data.data(), 1000);
        EXPECT_EQ(out.Size(), 1000);
    }
    {
        TFileStream in(path, FileMode::OpenReadExclusive);
        EXPECT_EQ(in.Size(), 1000);
        in.SetPosition(990);
        uint8_t buffer[20];
        EXPECT_EQ(in.Read(buffer, 20), 10);  // short at the end
        EXPECT_EQ(buffer[0], Pattern(1000)[990]);
        in.SetPosition(10);
        EXPECT_EQ(in.Seek(5), 15);
        EXPECT_EQ(in.Position(), 15);
    }
    {
        TFileStream truncated(path, FileMode::Create);
        EXPECT_EQ(truncated.Size(), 0);
    }
    std::remove(path.c_str());
}

TEST(StreamTest, SubStreamIsAWindow) {
    TMemoryStream base(Pattern(100));
    TSubStream view(base, 10, 20);
    EXPECT_EQ(view.Size(), 20);
    uint8_t buffer[30];
    EXPECT_EQ(view.Read(buffer, 30), 20);
    EXPECT_EQ(buffer[0], Pattern(100)[10]);
    EXPECT_EQ(view.Read(buffer, 1), 0);
    view.SetPosition(15);
    EXPECT_EQ(view.Read(buffer, 30), 5);
}

TEST(StreamTest, MemoryStreamWritePastEndFillsWithZeros) {
    TMemoryStream s;
    s.SetPosition(3);
    const uint8_t b = 9;
    s.WriteBuffer(&b, 1);
    EXPECT_EQ(s.Bytes(), (std::vector<uint8_t>{0, 0, 0, 9}));
}

}  // namespace
}  // namespace kq
