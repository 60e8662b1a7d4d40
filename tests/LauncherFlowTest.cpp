// The launcher's main line against a fake platform, with real files in a
// scratch folder.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <optional>
#include <stdexcept>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/PayloadLocator.h"
#include "Setup/LauncherFlow.h"
#include "tests/TestArchives.h"

namespace kq {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Bytes;

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A stand-in launcher image: some code bytes around the marker, whose field
// holds `field` (4 bytes).
Bytes Stub(const Bytes& field) {
    Bytes image = test::ImageWithMarker(3000, 1200, field.data());
    image[0] = 'M';
    image[1] = 'Z';
    return image;
}

Bytes LE(int32_t value) {
    Bytes b(4);
    StoreLE32(b.data(), static_cast<uint32_t>(value));
    return b;
}

// The stub patched with its own size, then the size field and `archive`.
Bytes SetupImage(const Bytes& archive, std::optional<int32_t> sizeField = std::nullopt) {
    Bytes image = Stub(LE(3000));
    const Bytes size = LE(sizeField.value_or(static_cast<int32_t>(archive.size())));
    image.insert(image.end(), size.begin(), size.end());
    image.insert(image.end(), archive.begin(), archive.end());
    return image;
}

const Bytes kInstaller = test::ToBytes("MZ pretend installer \x01\x02\x03");

Bytes GoodArchive() {
    return ArchiveBuilder("NON")
        .Stored("Data\\readme.txt", {'h', 'i'})
        .Stored(kInstallerEntryName, kInstaller)
        .Build();
}

struct InstallerRun {
    std::string installer, image, archive;
    Bytes installerBytes, archiveBytes;  // as the installer finds them
};

class FakePlatform final : public LauncherPlatform {
public:
    explicit FakePlatform(fs::path folder) : folder_(std::move(folder)) {}

    std::string ImagePath() override { return image.string(); }
    std::unique_ptr<TFileStream> CreateTempArchive() override {
        ++tempFilesMade;
        return std::make_unique<TFileStream>(ArchivePath().string(), FileMode::Create);
    }
    std::unique_ptr<TFileStream> CreateInstaller() override {
        return std::make_unique<TFileStream>(InstallerPath().string(), FileMode::Create);
    }
    void RemoveFile(const std::string& path) override {
        std::error_code ignored;
        fs::remove(path, ignored);
    }
    // Like the system, refuses to start an empty program.
    int32_t RunInstaller(const std::string& installer, const std::string& imagePath,
                         const std::string& archive) override {
        runs.push_back({installer, imagePath, archive, ReadFile(installer), ReadFile(archive)});
        if (runs.back().installerBytes.empty()) {
            throw EInstallerStartError(CannotStartFileMessage(installer, "Bad EXE format"));
        }
        return installerExit;
    }
    void Beep() override { ++beeps; }
    void ShowErrorBox(const std::string& text) override {
        boxes.push_back(text);
        leftAtBox = fs::exists(ArchivePath()) || fs::exists(InstallerPath());
    }

    fs::path ArchivePath() const { return folder_ / "KQI1A.tmp"; }
    fs::path InstallerPath() const { return installerFolder / kInstallerFileName; }

    fs::path image;
    fs::path installerFolder;
    int32_t installerExit = 0;  // what the installer returns
    int tempFilesMade = 0;
    int beeps = 0;
    std::vector<InstallerRun> runs;
    std::vector<std::string> boxes;
    bool leftAtBox = false;  // a file of the launch still there when the box showed

private:
    fs::path folder_;
};

class LauncherFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() / (std::string("kq-flow-") + info->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_ / "windows");
        platform_.emplace(folder_);
        platform_->image = folder_ / "setup.exe";
        platform_->installerFolder = folder_ / "windows";
    }
    void TearDown() override {
        platform_.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    FakePlatform& Platform() { return *platform_; }
    int Launch(const Bytes& image) {
        WriteFile(Platform().image, image);
        return LauncherMain(Platform());
    }

    fs::path folder_;
    std::optional<FakePlatform> platform_;
};

TEST_F(LauncherFlowTest, InstallsAndStartsTheInstaller) {
    // A payload of a few copy blocks and a piece, too.
    Bytes big(kPayloadCopyBlock + 4099);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const Bytes bigArchive = ArchiveBuilder("NON").Stored(kInstallerEntryName, big).Build();
    const struct {
        const char* what;
        Bytes archive;
        Bytes installer;
    } cases[] = {{"small", GoodArchive(), kInstaller}, {"several copy blocks", bigArchive, big}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        EXPECT_EQ(Launch(SetupImage(c.archive)), 0);
        auto& p = Platform();
        ASSERT_EQ(p.runs.size(), 1u);
        const InstallerRun& run = p.runs[0];
        EXPECT_EQ(run.installer, p.InstallerPath().string());
        EXPECT_EQ(run.image, p.image.string());
        EXPECT_EQ(run.archive, p.ArchivePath().string());
        EXPECT_TRUE(run.installerBytes == c.installer);
        EXPECT_TRUE(run.archiveBytes == c.archive);
        EXPECT_EQ(p.beeps, 0);
        EXPECT_TRUE(p.boxes.empty());
        // The installer owns both files from then on.
        EXPECT_TRUE(ReadFile(p.InstallerPath()) == c.installer);
        EXPECT_TRUE(ReadFile(p.ArchivePath()) == c.archive);
    }
}

// Deployment tools read the setup's exit code: it is the installer's own.
TEST_F(LauncherFlowTest, ExitCodeIsTheInstallers) {
    for (const int32_t code : {1, 1602, 3010, static_cast<int32_t>(0xC0000005u), -1}) {
        SCOPED_TRACE(code);
        TearDown();
        SetUp();
        Platform().installerExit = code;
        EXPECT_EQ(Launch(SetupImage(GoodArchive())), code);
        EXPECT_EQ(Platform().runs.size(), 1u);
        EXPECT_TRUE(Platform().boxes.empty());
    }
}

TEST_F(LauncherFlowTest, NoPayloadBeepsAndCreatesNothing) {
    const Bytes zero = LE(0);
    const struct {
        const char* what;
        Bytes image;
    } cases[] = {
        {"no marker", Bytes(5000, 0x11)},
        {"unpatched", Stub(test::ToBytes("XXXX"))},
        {"stand-alone launcher (field = own size)", Stub(LE(3000))},
        {"field beyond the file", Stub(LE(1 << 20))},
        {"zero field", Stub(zero)},
        {"negative field", Stub(LE(-5))},
        {"empty file", Bytes{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        EXPECT_EQ(Launch(c.image), 0);
        EXPECT_EQ(Platform().beeps, 1);
        EXPECT_EQ(Platform().tempFilesMade, 0);
        EXPECT_TRUE(Platform().runs.empty());
        EXPECT_TRUE(Platform().boxes.empty());
        EXPECT_FALSE(fs::exists(Platform().InstallerPath()));
    }
}

// Every failure of the expansion: the box shows it, nothing is started, and
// neither the partial installer nor the temporary archive is left behind.
TEST_F(LauncherFlowTest, ExpansionFailureReachesTheBoxAndRemovesBothFiles) {
    Bytes badSignature = GoodArchive();
    badSignature[0] ^= 0xFF;
    Bytes truncated = GoodArchive();
    truncated.resize(truncated.size() - 5);
    Bytes damagedStored = GoodArchive();
    damagedStored.back() ^= 0x20;  // inside the stored installer's data
    const struct {
        const char* what;
        Bytes image;
        const char* expectedTail;
    } cases[] = {
        {"bad signature", SetupImage(badSignature), "\nCan't recognize compressed file header."},
        {"wrong checksum",
         SetupImage(ArchiveBuilder()
                        .Entry(kInstallerEntryName, kMethodRle, 4, {'c', 0x94, 0x04}, 4 * 'c' + 1)
                        .Build()),
         "\nBad checksum during expansion -- data may be invalid."},
        {"damaged stored installer", SetupImage(damagedStored),
         "\nBad checksum during expansion -- data may be invalid."},
        // The installer's bytes were already written when the data ran out.
        {"archive cut inside the entry", SetupImage(truncated), "\nStream read error."},
        {"locked entry",
         SetupImage(ArchiveBuilder().Entry(kInstallerEntryName, kMethodRle, 1, {'a'}, 'a' + 9, 1).Build()),
         "\nFile locked -- valid key required."},
        // A zero size copies the whole image, which is no archive.
        {"size field 0", SetupImage(GoodArchive(), 0), "\nCan't recognize compressed file header."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        EXPECT_EQ(Launch(c.image), 1);
        auto& p = Platform();
        EXPECT_TRUE(p.runs.empty());
        EXPECT_FALSE(p.leftAtBox);
        EXPECT_FALSE(fs::exists(p.InstallerPath()));
        EXPECT_FALSE(fs::exists(p.ArchivePath()));
        ASSERT_EQ(p.boxes.size(), 1u);
        const std::string& box = p.boxes[0];
        EXPECT_EQ(box.rfind("Exception E", 0), 0u) << box;
        EXPECT_NE(box.find(" in module setup.exe at "), std::string::npos) << box;
        EXPECT_TRUE(box.ends_with(c.expectedTail)) << box;
    }
}

// Failures outside the expansion: the box shows them, and whatever the launch
// created is gone before it does. An installer that cannot be started is
// such a failure too: nothing was installed.
TEST_F(LauncherFlowTest, OtherFailuresReachTheBoxAndLeaveNothing) {
    const Bytes archive = GoodArchive();
    const auto installerNamed = [](FakePlatform& p) {
        return "Cannot start file " + p.InstallerPath().string() + ": Bad EXE format.";
    };
    const struct {
        const char* what;
        Bytes image;
        bool missingImage;
        bool noInstallerFolder;
        const char* className;
        std::function<std::string(FakePlatform&)> message;
        size_t starts;
    } cases[] = {
        {"payload shorter than its size", SetupImage(archive, static_cast<int32_t>(archive.size()) + 1),
         false, false, "EStreamReadError", [](FakePlatform&) { return std::string("Stream read error."); },
         0},
        {"negative payload size", SetupImage(archive, -1), false, false, "EStreamReadError",
         [](FakePlatform&) { return std::string("Stream read error."); }, 0},
        {"missing image", Bytes{}, true, false, "EFileOpenError",
         [](FakePlatform& p) { return "Cannot open file " + p.image.string() + "."; }, 0},
        {"installer cannot be created", SetupImage(archive), false, true, "EFileCreateError",
         [](FakePlatform& p) { return "Cannot create file " + p.InstallerPath().string() + "."; }, 0},
        {"archive without the installer", SetupImage(ArchiveBuilder("NON").Stored("other", {'o'}).Build()),
         false, false, "EInstallerStartError", installerNamed, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        auto& p = Platform();
        if (c.noInstallerFolder) fs::remove(p.installerFolder);
        WriteFile(p.image, c.image);
        if (c.missingImage) fs::remove(p.image);
        EXPECT_EQ(LauncherMain(p), 1);
        EXPECT_EQ(p.runs.size(), c.starts);
        EXPECT_EQ(p.beeps, 0);
        EXPECT_FALSE(p.leftAtBox);
        EXPECT_FALSE(fs::exists(p.ArchivePath()));
        EXPECT_FALSE(fs::exists(p.InstallerPath()));
        ASSERT_EQ(p.boxes.size(), 1u);
        const std::string head = std::string("Exception ") + c.className + " in module setup.exe at ";
        const std::string& box = p.boxes[0];
        EXPECT_EQ(box.substr(0, head.size()), head);
        EXPECT_EQ(box.substr(box.find('\n') + 1), c.message(p));
    }
}

TEST(LauncherTextTest, ErrorBoxText) {
    auto textOf = [](auto&& raise) {
        try {
            raise();
        } catch (...) {
            return ErrorBoxText("kqsetup.exe");
        }
        return std::string();
    };
    const std::string checksum = textOf([] { throw EBadChecksum(msg::kBadChecksum); });
    EXPECT_EQ(checksum.substr(0, 40), "Exception EBadChecksum in module kqsetup");
    // The raise site's address: at least 8 upper-case hex digits, then ".\n".
    const size_t at = checksum.find(" at ") + 4;
    const size_t end = checksum.find(".\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_GE(end - at, 8u);
    EXPECT_EQ(checksum.find_first_not_of("0123456789ABCDEF", at), end);
    EXPECT_NE(checksum.substr(at, end - at), "00000000");
    EXPECT_EQ(checksum.substr(end), ".\nBad checksum during expansion -- data may be invalid.");

    // A message with its own full stop gets no second one; failures that are
    // not the component's still make a box.
    EXPECT_TRUE(textOf([] { throw EStreamReadError("Done."); }).ends_with("\nDone."));
    EXPECT_EQ(textOf([] { throw std::bad_alloc(); }),
              "Exception EOutOfMemory in module kqsetup.exe at 00000000.\nOut of memory.");
    EXPECT_EQ(textOf([] { throw std::runtime_error("odd"); }),
              "Exception Exception in module kqsetup.exe at 00000000.\nodd.");
    EXPECT_TRUE(textOf([] { throw EStreamReadError(""); }).ends_with(".\n."));
}

}  // namespace
}  // namespace kq
