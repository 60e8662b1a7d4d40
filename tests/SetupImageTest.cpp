#include <gtest/gtest.h>

#include <cstring>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Stream.h"
#include "InstCompress/PayloadLocator.h"
#include "tools/kqi/Cli.h"
#include "InstCompressPack/SetupImage.h"
#include "tests/TestData.h"

namespace kq {
namespace {

using test::Bytes;

Bytes StubWithField(size_t size, size_t at, const char field[4]) {
    Bytes stub(size, 0x5A);
    std::memcpy(stub.data() + at, kPayloadMarker, kMarkerLength);
    std::memcpy(stub.data() + at + kMarkerLength, field, std::min<size_t>(4, size - at - kMarkerLength));
    return stub;
}

TEST(SetupImageTest, PatchesTheFieldAndAppendsThePayload) {
    const Bytes stub = StubWithField(20000, 17000, "XXXX");
    const Bytes archive = {'K', 'Q', 'I', 1, 2, 3, 4, 5, 6};
    const Bytes image = pack::BuildSetupImage(stub, archive);

    ASSERT_EQ(image.size(), stub.size() + 4 + archive.size());
    EXPECT_EQ(LoadLE32(image.data() + 17008), 20000u);
    EXPECT_EQ(LoadLE32(image.data() + 20000), archive.size());
    EXPECT_TRUE(std::equal(archive.begin(), archive.end(), image.begin() + 20004));
    // Nothing but the field changes in the stub.
    Bytes head(image.begin(), image.begin() + 20000);
    std::memcpy(head.data() + 17008, "XXXX", 4);
    EXPECT_EQ(head, stub);

    TSpanStream view(image.data(), image.size());
    EXPECT_EQ(LocatePayload(view), 20000);
    const auto payload = LocatePayloadArchive(view);
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(payload->start, 20004);
    EXPECT_EQ(payload->length, static_cast<int32_t>(archive.size()));
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
