// The launcher's main line, kept apart from the operating system so that it
// runs the same on Windows, on POSIX and against a fake in the tests.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kq {

inline constexpr const char* kInstallerFileName = "KQInstall.exe";
inline constexpr const char* kInstallerEntryName = "Installer\\KQInstall.exe";
inline constexpr const char* kErrorBoxCaption = "Application Error";

// What the flow needs from the system beyond plain file streams.
class LauncherPlatform {
public:
    virtual ~LauncherPlatform() = default;

    // Full path of the launcher's own executable file.
    virtual std::string ImagePath() = 0;
    // A new, empty temporary file; its name.
    virtual std::string MakeTempFileName() = 0;
    // Where the installer goes, ending in a path separator.
    virtual std::string InstallerFolder() = 0;
    // Starts the installer with the two switches and waits for it to end; the
    // installer's exit code, or -1 when it could not be started.
    virtual int32_t RunInstaller(const std::string& installerPath, const std::string& imagePath,
                                 const std::string& archivePath) = 0;
    virtual void Beep() = 0;
    virtual void ShowErrorBox(const std::string& text) = 0;
};

// Runs the launch; failures are raised. Returns the exit code (0).
int RunLauncher(LauncherPlatform& platform);

// RunLauncher with the top-level handler: a failure is shown in the error box
// and gives exit code 1.
int LauncherMain(LauncherPlatform& platform);

// The installer's argument string on Windows: both switches quoted.
std::string InstallerArguments(const std::string& imagePath, const std::string& archivePath);

// The error box's text for a failure that reached the top.
std::string ErrorBoxText(const std::exception_ptr& failure, const std::string& moduleName);

// The last component of a path, with either separator.
std::string FileNameOf(const std::string& path);

}  // namespace kq
