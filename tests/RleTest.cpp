#include <gtest/gtest.h>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "tests/TestArchives.h"
#include "tests/TestPipeline.h"

namespace kq {
namespace {

using test::Bytes;

Bytes DecodeRleBytes(const Bytes& coded, TShowProgressEvent progress = {}) {
    return test::RunDecoder(coded, DecodeRle, std::move(progress)).output;
}

TEST(RleTest, Tokens) {
    struct Case {
        Bytes coded;
        Bytes plain;
    };
    const std::vector<Case> cases = {
        {{0x41, 0x94, 0x05}, Bytes(5, 0x41)},
        {{0x41, 0x94, 0x01}, {0x41}},
        {{0x41, 0x94, 0x02}, {0x41, 0x41}},
        {{0x94, 0x00}, {0x94}},
        {{0x94, 0x00, 0x94, 0x03}, {0x94, 0x94, 0x94}},
        {{0x41, 0x94, 0x03, 0x94, 0x02}, {0x41, 0x41, 0x41, 0x94}},  // second run repeats 0x94
        {{0x94, 0x04}, {0, 0, 0}},                                   // previous byte starts at 0
        {{0x41, 0x94}, {0x41, 0x94}},                                // missing count reads as 0
        {{}, {}},
        {{0x41, 0x94, 0xFF}, Bytes(255, 0x41)},
        {{0x01, 0x02, 0x94, 0x03, 0x03}, {0x01, 0x02, 0x02, 0x02, 0x03}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeRleBytes(c.coded), c.plain) << ::testing::PrintToString(c.coded);
    }
}

TEST(RleTest, AbortBetweenMarkerAndCountStopsAtOnce) {
    // The first chunk ends on the marker; the count would come with the
    // second fetch, which the handler aborts: the entry fails there, and no
    // byte of the unfinished run is written.
    Bytes coded(8191, 0x41);
    coded.push_back(0x94);
    coded.push_back(0x05);
    coded.push_back(0x42);
    int calls = 0;
    TMemoryStream source(coded);
    TMemoryStream dest;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &dest;
    setup.storedSize = static_cast<int32_t>(coded.size());
    setup.progress = [&](int32_t& percent) {
        if (++calls == 2) percent = -1;
    };
    CodecPipeline pipe(std::move(setup));
    EXPECT_THROW(DecodeRle(pipe), EBadChecksum);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(pipe.OutputSize(), 8191);
}

}  // namespace
}  // namespace kq
