#include <gtest/gtest.h>

#include <cstring>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompress/Stream.h"
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

// Each way an image can fall short of a payload, and the complete one: the
// verdict, the figures a caller reports, and the archive only when complete.
TEST(PayloadLocatorTest, PayloadFieldsSayWhyThereIsNoArchive) {
    using Verdict = PayloadFields::Verdict;
    const uint8_t unpatched[4] = {'X', 0x01, 0, 0};
    const struct {
        const char* what;
        Bytes image;
        int32_t sizeField;  // stored at offset 100 when the image reaches it
        Verdict verdict;
        int64_t offset, announced, present;
    } cases[] = {
        {"no marker", Bytes(200, 0xCC), 0, Verdict::NoMarker, 0, 0, 0},
        {"field cut off", ImageWithMarker(200, 190, Field(100).data()), 0, Verdict::NoMarker, 0, 0, 0},
        {"unpatched", ImageWithMarker(200, 10, unpatched), 96, Verdict::Unpatched, 0, 0, 0},
        {"zero offset", ImageWithMarker(200, 10, Field(0).data()), 96, Verdict::NoOffset, 0, 0, 0},
        {"negative offset", ImageWithMarker(200, 10, Field(-4).data()), 96, Verdict::NoOffset, -4, 0, 0},
        {"no room for the size", ImageWithMarker(103, 10, Field(100).data()), 0, Verdict::OffsetOutside, 100,
         0, 0},
        {"archive cut", ImageWithMarker(200, 10, Field(100).data()), 97, Verdict::ArchiveCut, 100, 97, 96},
        {"negative size", ImageWithMarker(200, 10, Field(100).data()), -1, Verdict::ArchiveCut, 100, -1, 96},
        {"complete", ImageWithMarker(200, 10, Field(100).data()), 96, Verdict::Complete, 100, 96, 96},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image = c.image;
        if (image.size() >= 104) StoreLE32(image.data() + 100, static_cast<uint32_t>(c.sizeField));
        TMemoryStream s(image);
        const PayloadFields fields = ReadPayloadFields(s);
        EXPECT_EQ(fields.verdict, c.verdict);
        EXPECT_EQ(fields.offset, c.offset);
        EXPECT_EQ(fields.announced, c.announced);
        EXPECT_EQ(fields.present, c.present);
        const auto archive = LocatePayloadArchive(s);
        ASSERT_EQ(archive.has_value(), c.verdict == Verdict::Complete);
        if (archive) {
            EXPECT_EQ(archive->start, 104);
            EXPECT_EQ(archive->length, 96);
        }
    }
}

}  // namespace
}  // namespace kq
