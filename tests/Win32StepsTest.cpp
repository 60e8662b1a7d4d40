// The launcher's Win32 steps, run for real (under wine in the cross build).
#include <windows.h>
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <filesystem>

#include "Setup/Win32Steps.h"

namespace kq {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
    return fs::path(WideFromUtf8(utf8));
}

// A folder name beyond what GetTempFileNameW takes (and beyond MAX_PATH with
// the file name), with characters outside any ANSI code page.
std::string LongFolder(const std::string& parent) {
    std::string folder = parent;
    while (folder.size() < 300) folder += "Временная папка 一時フォルダ\\";
    return folder;
}

TEST(Win32StepsTest, CreateTempFileKeepsItsFileToItself) {
    const std::string temp = TempDirectory();
    ASSERT_EQ(temp.back(), '\\');
    ASSERT_TRUE(fs::is_directory(PathOf(temp)));
    const std::string deep = LongFolder(temp);
    fs::create_directories(PathOf(deep));
    for (const std::string& folder : {temp, deep}) {
        SCOPED_TRACE(folder.size());
        auto first = CreateTempFile(folder);
        auto second = CreateTempFile(folder);
        EXPECT_NE(first->FileName(), second->FileName());
        for (const auto* file : {first.get(), second.get()}) {
            const std::string& name = file->FileName();
            EXPECT_EQ(name.rfind(folder, 0), 0u) << name;
            const std::string base = name.substr(folder.size());
            EXPECT_EQ(base.substr(0, 3), "KQI") << name;
            EXPECT_EQ(base.substr(base.size() - 4), ".tmp") << name;
        }
        // Written and read back through the one handle; others may read,
        // but neither write nor delete.
        const std::wstring name = WideFromUtf8(first->FileName());
        first->WriteBuffer("payload", 7);
        first->SetPosition(0);
        char back[7] = {};
        first->ReadBuffer(back, 7);
        EXPECT_EQ(std::string(back, 7), "payload");
        const HANDLE writer =
            CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_FALSE(DeleteFileW(name.c_str()));
        const HANDLE reader = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE);
        if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
        for (auto* file : {&first, &second}) {
            const std::string path = (*file)->FileName();
            file->reset();
            EXPECT_EQ(fs::file_size(PathOf(path)), file == &first ? 7u : 0u);
            EXPECT_TRUE(RemoveFile(path));
        }
    }
    fs::remove_all(PathOf(temp + "Временная папка 一時フォルダ"));
}

TEST(Win32StepsTest, AdminOnlyFolderAdmitsAdministratorsAndSystem) {
    const std::string folder = MakeAdminOnlyFolder(TempDirectory());
    ASSERT_EQ(folder.back(), '\\');
    EXPECT_TRUE(fs::is_directory(PathOf(folder)));
    const std::string other = MakeAdminOnlyFolder(TempDirectory());
    EXPECT_NE(other, folder);
    RemoveDirectoryW(WideFromUtf8(other).c_str());
    // Wine maps the list to the folder's mode bits and keeps nothing more;
    // the end-to-end test checks those.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        RemoveDirectoryW(WideFromUtf8(folder).c_str());
        GTEST_SKIP() << "wine keeps no access lists on folders";
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(WideFromUtf8(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_EQ(Utf8FromWide(text), "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    LocalFree(text);
    LocalFree(descriptor);
    RemoveDirectoryW(WideFromUtf8(folder).c_str());
}

TEST(Win32StepsTest, WindowsDirectoryEndsInOneBackslash) {
    const std::string directory = WindowsDirectory();
    ASSERT_GE(directory.size(), 2u);
    EXPECT_EQ(directory.back(), '\\');
    EXPECT_NE(directory[directory.size() - 2], '\\');
    EXPECT_TRUE(fs::is_directory(PathOf(directory)));
}

TEST(Win32StepsTest, RunAndWaitReturnsTheExitCodeOrMinusOne) {
    uint32_t startError = 0;
    EXPECT_EQ(RunAndWait("cmd.exe", "/c exit 5", SW_SHOWNORMAL, true, &startError), 5);
    EXPECT_EQ(RunAndWait("cmd.exe", "/c exit 0", SW_SHOWNORMAL, true, &startError), 0);
    EXPECT_EQ(startError, 0u);
    EXPECT_EQ(RunAndWait("C:\\no\\such\\installer.exe", "", SW_SHOWNORMAL, true, &startError), -1);
    EXPECT_NE(startError, 0u);
    const std::string reason = SystemErrorText(startError);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
}

}  // namespace
}  // namespace kq
