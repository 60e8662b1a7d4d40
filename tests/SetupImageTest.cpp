#include <gtest/gtest.h>

#include <cstring>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompress/Stream.h"
#include "InstCompressPack/SetupImage.h"
#include "tests/TestArchives.h"
#include "tools/kqi/Cli.h"

namespace kq {
namespace {

using test::Bytes;

Bytes StubWithField(size_t size, size_t at, const char field[4]) {
    return test::ImageWithMarker(size, at, reinterpret_cast<const uint8_t*>(field));
}

TEST(SetupImageTest, PatchesTheFieldAndAppendsThePayload) {
    // The second stub's size ends in 'X' (0x58): a field holding it would
    // read as unpatched, so its payload starts one byte further on.
    const struct {
        size_t stubSize;
        int32_t payload;
    } cases[] = {{20000, 20000}, {0x4E58, 0x4E59}};
    const Bytes archive = {'K', 'Q', 'I', 1, 2, 3, 4, 5, 6};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stubSize);
        const Bytes stub = StubWithField(c.stubSize, 17000, "XXXX");
        const Bytes image = pack::BuildSetupImage(stub, archive);

        const size_t payload = static_cast<size_t>(c.payload);
        ASSERT_EQ(image.size(), payload + 4 + archive.size());
        EXPECT_EQ(LoadLE32(image.data() + 17008), payload);
        EXPECT_EQ(LoadLE32(image.data() + payload), archive.size());
        EXPECT_TRUE(std::equal(archive.begin(), archive.end(), image.begin() + c.payload + 4));
        // Nothing but the field changes in the stub; any padding is zero.
        Bytes head(image.begin(), image.begin() + c.payload);
        std::memcpy(head.data() + 17008, "XXXX", 4);
        Bytes padded = stub;
        padded.resize(payload, 0);
        EXPECT_EQ(head, padded);

        TSpanStream view(image.data(), image.size());
        EXPECT_EQ(LocatePayload(view), c.payload);
        const auto found = LocatePayloadArchive(view);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->start, c.payload + 4);
        EXPECT_EQ(found->length, static_cast<int32_t>(archive.size()));
    }
}

TEST(SetupImageTest, RefusesWhatIsNoLauncher) {
    const struct {
        const char* what;
        Bytes stub;
        const char* says;
    } cases[] = {
        {"no marker", Bytes(5000, 0x11), "no payload marker"},
        {"already a setup", StubWithField(3000, 40, "\xB8\x0B\x00\x00"), "already patched"},
        {"patched with zero", StubWithField(3000, 40, "\0\0\0\0"), "already patched"},
        {"field cut off by the end", StubWithField(50, 40, "XX"), "cut off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            pack::BuildSetupImage(c.stub, {1, 2, 3});
            ADD_FAILURE() << "accepted";
        } catch (const pack::PackError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace kq
