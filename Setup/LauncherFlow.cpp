#include "Setup/LauncherFlow.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "InstCompress/Exceptions.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompress/Stream.h"
#include "InstCompressIntf/InstCompressIntf.h"

namespace kq {

namespace {

// Copies the payload's archive out of the image into the temporary archive.
void CopyPayload(const std::string& imagePath, int32_t payloadOffset, TStream& archive) {
    TFileStream image(imagePath, FileMode::OpenReadShared);
    // A short read leaves the size at 0, which copies the whole image.
    const int32_t payloadSize = PayloadLayout{payloadOffset}.ReadSize(image).value_or(0);
    if (payloadSize < 0) throw EStreamReadError(msg::kStreamRead);
    int64_t left = payloadSize;
    if (left == 0) {
        image.SetPosition(0);
        left = image.Size();
    }
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(left, kPayloadCopyBlock)));
    while (left > 0) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(left, kPayloadCopyBlock));
        image.ReadBuffer(block.data(), n);
        archive.WriteBuffer(block.data(), n);
        left -= n;
    }
}

// The files a launch creates, deleted when it fails: nothing is left behind
// that no installer will use.
class Leftovers {
public:
    explicit Leftovers(LauncherPlatform& platform) : platform_(platform) {}
    Leftovers(const Leftovers&) = delete;
    Leftovers& operator=(const Leftovers&) = delete;
    ~Leftovers() {
        for (auto path = paths_.rbegin(); path != paths_.rend(); ++path) platform_.RemoveFile(*path);
    }

    void Add(const std::string& path) { paths_.push_back(path); }
    // The installer owns them now.
    void HandOver() noexcept { paths_.clear(); }

private:
    LauncherPlatform& platform_;
    std::vector<std::string> paths_;
};

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
    // Declared before the streams, so that they are closed when it deletes.
    Leftovers leftovers(platform);
    // The archive stays open from its creation to the end of the expansion,
    // so that nobody can change it in between.
    auto archive = platform.CreateTempArchive();
    const std::string archivePath = archive->FileName();
    leftovers.Add(archivePath);
    CopyPayload(imagePath, payloadOffset, *archive);
    auto installer = platform.CreateInstaller();
    const std::string installerPath = installer->FileName();
    leftovers.Add(installerPath);
    archive->SetPosition(0);
    ExpandFileFromArchive(*archive, *installer, kInstallerEntryName, nullptr, nullptr);
    // The installer opens both files itself.
    installer.reset();
    archive.reset();
    // Deployment tools judge the setup by the installer's exit code.
    const int32_t exitCode = platform.RunInstaller(installerPath, imagePath, archivePath);
    leftovers.HandOver();
    return exitCode;
}

int LauncherMain(LauncherPlatform& platform) {
    try {
        return RunLauncher(platform);
    } catch (...) {
        std::string moduleName;
        try {
            moduleName = FileNameOf(platform.ImagePath());
        } catch (...) {
            // The box still shows the failure without the module's name.
        }
        platform.ShowErrorBox(ErrorBoxText(moduleName));
        return 1;
    }
}

std::string CannotStartFileMessage(const std::string& fileName, const std::string& reason) {
    return "Cannot start file " + fileName + ": " + reason;
}

std::string InstallerArguments(const std::string& imagePath, const std::string& archivePath) {
    return "\"/SOURCE=" + imagePath + "\" \"/DATA=" + archivePath + "\"";
}

std::string ErrorBoxText(const std::string& moduleName) {
    std::string className = "Exception";
    std::string message;
    const void* address = nullptr;
    // Rethrown rather than kept in a std::exception_ptr, whose run-time
    // support the stub then does without.
    try {
        throw;
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
