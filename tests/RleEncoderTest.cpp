#include <gtest/gtest.h>

#include <random>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompressPack/Encoders.h"
#include "tests/TestData.h"
#include "tests/TestPipeline.h"

namespace kq {
namespace {

using test::Bytes;

Bytes Decode(const Bytes& coded) {
    return test::RunDecoder(coded, DecodeRle).output;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(RleEncoderTest, RoundTripsAwkwardInputs) {
    std::mt19937 rng(7);
    const Bytes random = test::RandomBytes(100000, 7);
    Bytes markerHeavy(5000);
    for (auto& b : markerHeavy) b = (rng() % 3 == 0) ? 0x94 : static_cast<uint8_t>(0x93 + rng() % 3);
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));

    const std::vector<Bytes> inputs = {
        {},
        {0},
        {0x94},
        {0x94, 0x94},
        Bytes(3, 0),
        Bytes(1000, 0),  // a run at the very start repeats the initial previous byte 0
        Bytes(1000, 0x94),
        Bytes(254, 0x94),
        Bytes(255, 0x94),
        Bytes(256, 0x41),
        Bytes(511, 0x41),
        Cat({Bytes(10, 0x41), Bytes(10, 0x94), Bytes(10, 0x41)}),
        Cat({Bytes(5, 0x94), Bytes(5, 0)}),
        Cat({{0x41}, Bytes(4, 0x94), {0x41, 0x41, 0x41, 0x41}}),
        all,
        random,
        markerHeavy,
    };
    for (const Bytes& input : inputs) {
        const Bytes coded = pack::EncodeRle(input);
        EXPECT_EQ(Decode(coded), input) << "size " << input.size();
        EXPECT_LE(coded.size(), 2 * input.size());
    }
}

TEST(RleEncoderTest, RunsShrink) {
    EXPECT_EQ(pack::EncodeRle(Bytes(1000, 0x41)).size(), 12u);  // 4 x (literal + run token)
    EXPECT_EQ(pack::EncodeRle(Bytes(1000, 0)).size(), 11u);     // the first run needs no literal: 2 + 3 x 3
    EXPECT_LE(pack::EncodeRle(Bytes(1000, 0x94)).size(), 12u);
    EXPECT_EQ(pack::EncodeRle(Bytes(4, 0x41)), (Bytes{0x41, 0x94, 0x04}));
    EXPECT_EQ(pack::EncodeRle(Bytes{0x94}), (Bytes{0x94, 0x00}));
}

TEST(RleEncoderTest, WorstCaseIsTwiceTheInput) {
    Bytes lone;
    for (int i = 0; i < 1000; ++i) {
        lone.push_back(0x94);
        lone.push_back(0x94);
        lone.push_back(0x01);
    }
    const Bytes coded = pack::EncodeRle(lone);
    EXPECT_EQ(Decode(coded), lone);
    EXPECT_LE(coded.size(), 2 * lone.size());
}

}  // namespace
}  // namespace kq
