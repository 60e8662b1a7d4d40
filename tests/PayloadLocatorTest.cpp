#include <gtest/gtest.h>

#include <cstring>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Stream.h"
#include "InstCompress/PayloadLocator.h"
#include "tests/TestArchives.h"

namespace kq {
namespace {

using test::Bytes;
using test::ImageWithMarker;

Bytes Field(int32_t value) {
    Bytes f(4);
    StoreLE32(f.data(), static_cast<uint32_t>(value));
    return f;
}

int32_t Locate(const Bytes& image) {
    TMemoryStream s(image);
    return LocatePayload(s);
}

TEST(PayloadLocatorTest, FindsThePatchedOffsetWherever) {
    const size_t size = 40000;
    for (size_t at : {size_t{0}, size_t{100}, size_t{16384 - 8}, size_t{16384 - 7}, size_t{16384 - 1},
                      size_t{16384}, size_t{16376 * 2 - 3}, size_t{size - 12}}) {
        EXPECT_EQ(Locate(ImageWithMarker(size, at, Field(30000).data())), 30000) << "marker at " << at;
    }
}

TEST(PayloadLocatorTest, NoUsablePayloadGivesZero) {
    const uint8_t unpatched[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(Locate(ImageWithMarker(1000, 10, unpatched)), 0);
    EXPECT_EQ(Locate(ImageWithMarker(1000, 10, Field(1000).data())), 0);  // the image's own size: no payload
    EXPECT_EQ(Locate(ImageWithMarker(1000, 10, Field(5000).data())), 0);
    EXPECT_EQ(Locate(ImageWithMarker(1000, 10, Field(0).data())), 0);
    EXPECT_EQ(Locate(Bytes(50000, 0)), 0);
    EXPECT_EQ(Locate(Bytes{'K', 'Q', 'I', '_', 'S', 'I', 'Z', 'E'}), 0);  // 8 bytes: never searched
    EXPECT_EQ(Locate(Bytes{}), 0);
    // A field cut off by the end of the file.
    Bytes cut = ImageWithMarker(100, 88, Field(10).data());
    cut.resize(98);
    EXPECT_EQ(Locate(cut), 0);
}

TEST(PayloadLocatorTest, NegativeOffsetComesBackUnchanged) {
    EXPECT_EQ(Locate(ImageWithMarker(1000, 10, Field(-5).data())), -5);
}

TEST(PayloadLocatorTest, FirstOccurrenceWins) {
    const uint8_t unpatched[4] = {'X', 0, 0, 0};
    Bytes image = ImageWithMarker(30000, 20, unpatched);
    std::memcpy(image.data() + 20000, kPayloadMarker, 8);
    StoreLE32(image.data() + 20008, 25000);
    EXPECT_EQ(Locate(image), 0);
    StoreLE32(image.data() + 28, 26000);
    EXPECT_EQ(Locate(image), 26000);
}

TEST(PayloadLocatorTest, PayloadArchiveNeedsACompletePayload) {
    Bytes image = ImageWithMarker(200, 10, Field(100).data());
    StoreLE32(image.data() + 100, 96);  // 100 + 4 + 96 = 200
    TMemoryStream s(image);
    const auto payload = LocatePayloadArchive(s);
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->start, 104);
    EXPECT_EQ(payload->length, 96);
    StoreLE32(image.data() + 100, 97);
    TMemoryStream t(image);
    EXPECT_FALSE(LocatePayloadArchive(t));
}

}  // namespace
}  // namespace kq
