// The launcher's Win32 steps, run for real (under wine in the cross build).
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>

#include "Setup/PlatformSteps.h"

namespace kq {
namespace {

TEST(PlatformStepsTest, MakeTempFileNameCreatesAnEmptyKqiFile) {
    char directory[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, directory);
    const std::string first = MakeTempFileName();
    const std::string second = MakeTempFileName();
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(name.rfind(directory, 0), 0u) << name;
        const std::string base = name.substr(name.find_last_of('\\') + 1);
        EXPECT_EQ(base.substr(0, 3), "KQI") << name;
        EXPECT_EQ(base.substr(base.size() - 4), ".tmp") << name;
        ASSERT_TRUE(std::filesystem::exists(name)) << name;
        EXPECT_EQ(std::filesystem::file_size(name), 0u);
        std::filesystem::remove(name);
    }
}

TEST(PlatformStepsTest, WindowsDirectoryEndsInOneBackslash) {
    const std::string directory = WindowsDirectory();
    ASSERT_GE(directory.size(), 2u);
    EXPECT_EQ(directory.back(), '\\');
    EXPECT_NE(directory[directory.size() - 2], '\\');
    EXPECT_TRUE(std::filesystem::is_directory(directory));
}

TEST(PlatformStepsTest, RunAndWaitReturnsTheExitCodeOrMinusOne) {
    EXPECT_EQ(RunAndWait("cmd.exe", "/c exit 5", SW_SHOWNORMAL, true), 5);
    EXPECT_EQ(RunAndWait("cmd.exe", "/c exit 0", SW_SHOWNORMAL, true), 0);
    EXPECT_EQ(RunAndWait("C:\\no\\such\\installer.exe", "", SW_SHOWNORMAL, true), -1);
}

}  // namespace
}  // namespace kq
