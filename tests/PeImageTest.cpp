#include <gtest/gtest.h>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/PeImage.h"
#include "InstCompressPack/SetupImage.h"
#include "tests/TestArchives.h"
#include "tests/TestData.h"

namespace kq::pack {
namespace {

using test::Bytes;

void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// A minimal image: DOS header, "PE\0\0" at 0x80, the COFF header and an
// optional header of the kind's size with 16 directories; 0x400 bytes.
Bytes MinimalImage(PeKind kind) {
    Bytes image(0x400, 0x90);
    image[0] = 'M';
    image[1] = 'Z';
    StoreLE32(image.data() + 0x3C, 0x80);
    std::fill(image.begin() + 0x80, image.begin() + 0x84 + 20 + 240, 0);
    image[0x80] = 'P';
    image[0x81] = 'E';
    const bool plus = kind == PeKind::Pe32Plus;
    StoreLE16(image.data() + 0x84 + 16, plus ? 240 : 224);
    StoreLE16(image.data() + 0x98, plus ? 0x20B : 0x10B);
    StoreLE32(image.data() + 0x98 + (plus ? 108 : 92), 16);
    return image;
}

// Signs it as the signing tools do: a table at the end, named by the entry.
Bytes Signed(Bytes image, size_t entryAt) {
    const auto offset = static_cast<uint32_t>(image.size());
    image.resize(image.size() + 0x48, 0x30);
    StoreLE32(image.data() + entryAt, offset);
    StoreLE32(image.data() + entryAt + 4, 0x48);
    StoreLE32(image.data() + 0x98 + 64, 0x12345678);
    return image;
}

TEST(PeImageTest, FindsChecksumAndCertificateEntryOfBothKinds) {
    const struct {
        PeKind kind;
        size_t entryAt;  // 0x98 + 96 or 112, then 4 directories of 8 bytes
    } cases[] = {{PeKind::Pe32, 0x98 + 96 + 32}, {PeKind::Pe32Plus, 0x98 + 112 + 32}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entryAt);
        const Bytes plain = MinimalImage(c.kind);
        const auto layout = ReadPeLayout(plain);
        ASSERT_TRUE(layout.has_value());
        EXPECT_EQ(layout->kind, c.kind);
        EXPECT_EQ(layout->checksumAt, 0x98u + 64);
        EXPECT_EQ(layout->certificateEntryAt, c.entryAt);
        EXPECT_EQ(layout->certificateSize, 0u);

        Bytes image = Signed(plain, c.entryAt);
        const auto signedLayout = ReadPeLayout(image);
        ASSERT_TRUE(signedLayout.has_value());
        EXPECT_EQ(signedLayout->certificateOffset, 0x400u);
        EXPECT_EQ(signedLayout->certificateSize, 0x48u);
        StripCertificateTable(image, *signedLayout);
        Bytes expected = plain;
        StoreLE32(expected.data() + 0x98 + 64, PeChecksum(plain, 0x98 + 64));
        EXPECT_EQ(image, expected);
    }
}

TEST(PeImageTest, ChecksumFoldsCarriesAndAddsTheSize) {
    // 0xFFFF + 0x0001 carries out and folds back to 1; plus 4 bytes of size.
    EXPECT_EQ(PeChecksum({0xFF, 0xFF, 0x01, 0x00}, 100), 5u);
    // The field is left out; an odd last byte is a word of its own.
    EXPECT_EQ(PeChecksum({0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x02}, 2), 1u + 2 + 7);
    EXPECT_EQ(PeChecksum(Bytes(70000, 0), 64), 70000u);
}

// kqi setup patches the stub and appends the payload; the checksum is then
// that of the setup's own bytes, the payload's size field included, at
// even and odd payload offsets (the stub size 0x4E58 gets a padding byte).
TEST(PeImageTest, SetupChecksumIsOverTheFinalBytes) {
    const Bytes archive = {'K', 'Q', 'I', 1, 2, 3, 4, 5, 6, 7, 8};
    for (const PeKind kind : {PeKind::Pe32, PeKind::Pe32Plus}) {
        for (const size_t size : {20000u, 20001u, 0x4E58u}) {
            SCOPED_TRACE(size);
            const uint8_t field[4] = {'X', 'X', 'X', 'X'};
            Bytes stub = test::ImageWithMarker(size, 17000, field);
            const Bytes headers = MinimalImage(kind);
            std::copy(headers.begin(), headers.end(), stub.begin());
            const Bytes setup = BuildSetupImage(stub, archive);
            ASSERT_GT(setup.size(), size + archive.size());
            EXPECT_EQ(LoadLE32(setup.data() + 0x98 + 64), PeChecksum(setup, 0x98 + 64));
        }
    }
}

TEST(PeImageTest, RefusesWhatItCannotReadOrStrip) {
    Bytes badMagic = MinimalImage(PeKind::Pe32);
    badMagic[0x98] = 0x07;
    Bytes farHeader = MinimalImage(PeKind::Pe32);
    StoreLE32(farHeader.data() + 0x3C, 0xFFFFFFF0);
    Bytes noSignature = MinimalImage(PeKind::Pe32);
    noSignature[0x81] = 'X';
    Bytes cutOptional = MinimalImage(PeKind::Pe32);
    cutOptional.resize(0x98 + 100);
    for (const Bytes& image : {Bytes{}, Bytes{'M', 'Z'}, badMagic, farHeader, noSignature, cutOptional}) {
        EXPECT_FALSE(ReadPeLayout(image).has_value());
    }

    // A table followed by more bytes, or one inside the headers, stays.
    Bytes trailing = Signed(MinimalImage(PeKind::Pe32), 0x98 + 128);
    trailing.push_back(0);
    EXPECT_THROW(StripCertificateTable(trailing, *ReadPeLayout(trailing)), PackError);
    Bytes inHeaders = MinimalImage(PeKind::Pe32);
    StoreLE32(inHeaders.data() + 0x98 + 128, 0x10);
    StoreLE32(inHeaders.data() + 0x98 + 132, static_cast<uint32_t>(inHeaders.size() - 0x10));
    EXPECT_THROW(StripCertificateTable(inHeaders, *ReadPeLayout(inHeaders)), PackError);
}

}  // namespace
}  // namespace kq::pack
