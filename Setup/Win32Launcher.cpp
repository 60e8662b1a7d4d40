// kqsetup.exe: the launcher for 32-bit Windows.
#include <windows.h>

#include <vector>

#include "InstCompress/Exceptions.h"
#include "Setup/LauncherFlow.h"
#include "Setup/PlatformSteps.h"

namespace kq {

namespace {

class Win32Platform final : public LauncherPlatform {
public:
    std::string ImagePath() override {
        // Grows past MAX_PATH, so a deep folder cannot truncate the name.
        std::vector<char> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length < buffer.size() - 1 || buffer.size() > 32768) return std::string(buffer.data(), length);
            buffer.resize(buffer.size() * 2);
        }
    }
    std::string MakeTempFileName() override { return kq::MakeTempFileName(); }
    std::string InstallerFolder() override { return WindowsDirectory(); }
    int32_t RunInstaller(const std::string& installerPath, const std::string& imagePath,
                         const std::string& archivePath) override {
        return RunAndWait(installerPath, InstallerArguments(imagePath, archivePath), SW_SHOWNORMAL, true);
    }
    void Beep() override { MessageBeep(0); }
    void ShowErrorBox(const std::string& text) override {
        MessageBoxA(nullptr, text.c_str(), kErrorBoxCaption, MB_OK | MB_ICONSTOP | MB_TASKMODAL);
    }
};

// A setup started from a downloads folder must not load a DLL planted
// beside it. Looked up at run time: older systems lack the call.
void RestrictDllSearchToSystem32() {
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
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
