// kqsetup.exe: the launcher for 32-bit Windows.
#include <windows.h>

#include <vector>

#include "InstCompress/Exceptions.h"
#include "Setup/LauncherFlow.h"
#include "Setup/Win32Steps.h"

namespace kq {

namespace {

class Win32Platform final : public LauncherPlatform {
public:
    Win32Platform() = default;
    Win32Platform(const Win32Platform&) = delete;
    Win32Platform& operator=(const Win32Platform&) = delete;
    ~Win32Platform() override {
        // Only succeeds while the folder is empty: nothing was handed to an
        // installer, or it was removed after a failure.
        if (!privateFolder_.empty()) RemoveDirectoryW(WideFromUtf8(privateFolder_).c_str());
    }

    std::string ImagePath() override {
        // Grows past MAX_PATH, so a deep folder cannot truncate the name.
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD length =
                GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length < buffer.size() - 1 || buffer.size() > 32768) {
                return Utf8FromWide(std::wstring(buffer.data(), length));
            }
            buffer.resize(buffer.size() * 2);
        }
    }
    std::unique_ptr<TFileStream> CreateTempArchive() override {
        std::string folder = TempDirectory();
        // Elevated, the archive that the installer will trust must not lie
        // where the user's own processes can reach it.
        if (RunningElevated()) folder = privateFolder_ = MakeAdminOnlyFolder(folder);
        return CreateTempFile(folder);
    }
    std::unique_ptr<TFileStream> CreateInstaller() override {
        return std::make_unique<TFileStream>(WindowsDirectory() + kInstallerFileName, FileMode::Create);
    }
    void RemoveFile(const std::string& path) override { kq::RemoveFile(path); }
    int32_t RunInstaller(const std::string& installerPath, const std::string& imagePath,
                         const std::string& archivePath) override {
        uint32_t startError = 0;
        const int32_t exitCode = RunAndWait(installerPath, InstallerArguments(imagePath, archivePath),
                                            SW_SHOWNORMAL, true, &startError);
        if (startError != 0) {
            throw EInstallerStartError(CannotStartFileMessage(installerPath, SystemErrorText(startError)));
        }
        return exitCode;
    }
    void Beep() override { MessageBeep(0); }
    void ShowErrorBox(const std::string& text) override {
        MessageBoxW(nullptr, WideFromUtf8(text).c_str(), WideFromUtf8(kErrorBoxCaption).c_str(),
                    MB_OK | MB_ICONSTOP | MB_TASKMODAL);
    }

private:
    std::string privateFolder_;
};

// A setup started from a downloads folder must not load a DLL planted
// beside it. Looked up at run time: older systems lack the call.
void RestrictDllSearchToSystem32() {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const FARPROC proc = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (proc == nullptr) return;
    reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc))(
        LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

}  // namespace kq

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    kq::RestrictDllSearchToSystem32();
    kq::Win32Platform platform;
    return kq::LauncherMain(platform);
}
