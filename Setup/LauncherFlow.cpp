#include "Setup/LauncherFlow.h"

#include <array>
#include <cstdio>
#include <memory>
#include <new>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"
#include "InstCompressIntf/InstCompressIntf.h"
#include "InstCompress/PayloadLocator.h"

namespace kq {

namespace {

// Copies the payload's archive out of the image into the temporary file.
void CopyPayload(const std::string& imagePath, int32_t payloadOffset, const std::string& archivePath) {
    TFileStream image(imagePath, FileMode::OpenReadShared);
    TFileStream archive(archivePath, FileMode::Create);
    image.SetPosition(payloadOffset);
    // A short read leaves the size at 0, which copies the whole image.
    std::array<uint8_t, 4> sizeField{};
    int32_t payloadSize = 0;
    if (image.Read(sizeField.data(), 4) == 4) payloadSize = static_cast<int32_t>(LoadLE32(sizeField.data()));
    if (payloadSize < 0) throw EStreamReadError(msg::kStreamRead);
    archive.CopyFrom(image, payloadSize);
    // The archive closes before the image: reverse order of opening.
}

// Expands the installer; on failure nothing half-written is left to be
// started: both files go and the failure is passed on.
void ExpandInstaller(const std::string& archivePath, const std::string& installerPath) {
    auto installer = std::make_unique<TFileStream>(installerPath, FileMode::Create);
    try {
        ExpandFileFromArchive(archivePath, *installer, kInstallerEntryName, nullptr, nullptr);
    } catch (...) {
        installer.reset();
        std::remove(installerPath.c_str());
        std::remove(archivePath.c_str());
        throw;
    }
}

// At least 8 upper-case hex digits. By hand: printf's formatter alone would
// add a tenth to the launcher's size.
std::string HexAddress(uintptr_t address) {
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789ABCDEF"[address & 15]);
        address >>= 4;
    } while (address != 0);
    if (digits.size() < 8) digits.insert(0, 8 - digits.size(), '0');
    return digits;
}

}  // namespace

int RunLauncher(LauncherPlatform& platform) {
    const std::string imagePath = platform.ImagePath();
    const int32_t payloadOffset = LocatePayload(imagePath);
    if (payloadOffset <= 0) {
        platform.Beep();
        return 0;
    }
    const std::string archivePath = platform.MakeTempFileName();
    const std::string installerPath = platform.InstallerFolder() + kInstallerFileName;
    CopyPayload(imagePath, payloadOffset, archivePath);
    ExpandInstaller(archivePath, installerPath);
    // The installer's own exit code is its business.
    platform.RunInstaller(installerPath, imagePath, archivePath);
    return 0;
}

int LauncherMain(LauncherPlatform& platform) {
    try {
        return RunLauncher(platform);
    } catch (...) {
        const auto failure = std::current_exception();
        std::string moduleName;
        try {
            moduleName = FileNameOf(platform.ImagePath());
        } catch (...) {
            // The box still shows the failure without the module's name.
        }
        platform.ShowErrorBox(ErrorBoxText(failure, moduleName));
        return 1;
    }
}

std::string InstallerArguments(const std::string& imagePath, const std::string& archivePath) {
    return "\"/SOURCE=" + imagePath + "\" \"/DATA=" + archivePath + "\"";
}

std::string ErrorBoxText(const std::exception_ptr& failure, const std::string& moduleName) {
    std::string className = "Exception";
    std::string message;
    const void* address = nullptr;
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        className = e.ClassName();
        message = e.Message();
        address = e.RaiseAddress();
    } catch (const std::bad_alloc&) {
        className = "EOutOfMemory";
        message = msg::kOutOfMemory;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown failure";
    }
    std::string text = "Exception " + className + " in module " + moduleName + " at " +
                       HexAddress(reinterpret_cast<uintptr_t>(address)) + ".\n" + message;
    if (message.empty() || message.back() != '.') text += '.';
    return text;
}

std::string FileNameOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kq
