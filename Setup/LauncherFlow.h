// The launcher's main line, kept apart from the operating system so that it
// runs the same on Windows, on POSIX and against a fake in the tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"

namespace kq {

inline constexpr const char* kInstallerFileName = "KQInstall.exe";
inline constexpr const char* kInstallerEntryName = "Installer\\KQInstall.exe";
inline constexpr const char* kErrorBoxCaption = "Application Error";

// An installer that could not be started: its file and the system's reason.
class EInstallerStartError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EInstallerStartError"; }
};
std::string CannotStartFileMessage(const std::string& fileName, const std::string& reason);

// What the flow needs from the system. Paths are UTF-8.
class LauncherPlatform {
public:
    virtual ~LauncherPlatform() = default;

    // Full path of the launcher's own executable file.
    virtual std::string ImagePath() = 0;
    // A new temporary file for the archive, open for reading and writing;
    // while it is open nobody else may write or delete it. Its name is the
    // stream's file name. Raises EFileCreateError.
    virtual std::unique_ptr<TFileStream> CreateTempArchive() = 0;
    // The installer's file, created (or emptied) for writing. Raises
    // EFileCreateError.
    virtual std::unique_ptr<TFileStream> CreateInstaller() = 0;
    // Deletes a file this launch created, after its stream is closed.
    virtual void RemoveFile(const std::string& path) = 0;
    // Starts the installer with the two switches and waits for it to end; the
    // installer's exit code, all 32 bits of it on Windows (128 + the signal's
    // number for a POSIX installer a signal ended). Raises
    // EInstallerStartError when it cannot start.
    virtual int32_t RunInstaller(const std::string& installerPath, const std::string& imagePath,
                                 const std::string& archivePath) = 0;
    virtual void Beep() = 0;
    virtual void ShowErrorBox(const std::string& text) = 0;
};

// The payload goes from the image to the temporary archive in blocks of this
// size: large enough for a fast copy, small enough for a flat working set.
inline constexpr int32_t kPayloadCopyBlock = 1 << 20;

// Runs the launch; failures are raised, and every file the launch created is
// deleted before. Returns the process exit code: the installer's own, or 0
// after the no-payload beep.
int RunLauncher(LauncherPlatform& platform);

// RunLauncher with the top-level handler: a failure is shown in the error box
// and gives exit code 1.
int LauncherMain(LauncherPlatform& platform);

// The installer's argument string on Windows: both switches quoted.
std::string InstallerArguments(const std::string& imagePath, const std::string& archivePath);

// The error box's text for a failure that reached the top: the exception
// being handled, so only to be called in a handler.
std::string ErrorBoxText(const std::string& moduleName);

// The last component of a path, with either separator.
std::string FileNameOf(const std::string& path);

}  // namespace kq
