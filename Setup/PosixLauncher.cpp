// kqsetup: the launcher on POSIX systems. The installer and the temporary
// archive go into a fresh private folder in TMPDIR instead of a shared system
// folder. TMPDIR may be shared with others who can rename and plant entries
// in it, so every file is made through the folder's own descriptor, with
// O_EXCL|O_NOFOLLOW, and the names handed to the installer are checked
// against the files made before it starts.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Setup/LauncherFlow.h"

extern char** environ;

namespace kq {
namespace {

constexpr const char* kArchiveFileName = "KQI.tmp";

std::string TempDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string directory = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return directory;
}

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
};

FileId IdOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return {st.st_dev, st.st_ino};
}

// True when `path` opens (without following a final symbolic link) as the
// file `id`.
bool NamesFile(const std::string& path, FileId id, int flags) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const FileId found = IdOf(fd);
    ::close(fd);
    return found.device == id.device && found.inode == id.inode;
}

class PosixPlatform final : public LauncherPlatform {
public:
    PosixPlatform() = default;
    PosixPlatform(const PosixPlatform&) = delete;
    PosixPlatform& operator=(const PosixPlatform&) = delete;
    ~PosixPlatform() override {
        if (folderFd_ < 0) return;
        ::close(folderFd_);
        // Only succeeds while the folder is empty: nothing was handed to an
        // installer, or it was removed after a failure.
        ::rmdir(folder_.c_str());
    }

    std::string ImagePath() override {
        std::vector<char> buffer(256);
        for (;;) {
            const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
            if (length < 0) throw EFileOpenError(CannotOpenFileMessage("/proc/self/exe"));
            if (static_cast<size_t>(length) < buffer.size())
                return std::string(buffer.data(), static_cast<size_t>(length));
            buffer.resize(buffer.size() * 2);
        }
    }

    std::unique_ptr<TFileStream> CreateTempArchive() override {
        return CreateInFolder(kArchiveFileName, O_RDWR, 0600, archiveId_);
    }

    std::unique_ptr<TFileStream> CreateInstaller() override {
        return CreateInFolder(kInstallerFileName, O_WRONLY, 0700, installerId_);
    }

    void RemoveFile(const std::string& path) override {
        if (folderFd_ < 0) return;
        const auto slash = path.find_last_of('/');
        ::unlinkat(folderFd_, path.c_str() + (slash == std::string::npos ? 0 : slash + 1), 0);
    }

    int32_t RunInstaller(const std::string& installerPath, const std::string& imagePath,
                         const std::string& archivePath) override {
        // The installer finds its files by these names: they must still be
        // the files made here.
        if (!NamesFile(folder_, IdOf(folderFd_), O_RDONLY | O_DIRECTORY) ||
            !NamesFile(installerPath, installerId_, O_RDONLY) ||
            !NamesFile(archivePath, archiveId_, O_RDONLY)) {
            throw EInstallerStartError(CannotStartFileMessage(installerPath, "its folder was replaced"));
        }
        std::string source = "/SOURCE=" + imagePath;
        std::string data = "/DATA=" + archivePath;
        std::string program = installerPath;
        char* argv[] = {program.data(), source.data(), data.data(), nullptr};
        pid_t pid = 0;
        const int error = ::posix_spawn(&pid, installerPath.c_str(), nullptr, nullptr, argv, environ);
        if (error != 0)
            throw EInstallerStartError(CannotStartFileMessage(installerPath, std::strerror(error)));
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            // Only a child that is not ours fails: the launcher's own failure.
            if (errno != EINTR) return 1;
        }
        // As shells report it.
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    }

    void Beep() override {
        const char bell = '\a';
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, &bell, 1);
    }

    void ShowErrorBox(const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", kErrorBoxCaption, text.c_str());
    }

private:
    // The private folder, made on first use and held open from then on.
    void MakeFolder() {
        const std::string pattern = TempDirectory() + "/KQIXXXXXX";
        std::string folder = pattern;
        if (::mkdtemp(folder.data()) == nullptr) throw EFileCreateError(CannotCreateFileMessage(pattern));
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        // Someone may have put another folder in its place before it was open.
        if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0777) != 0700) {
            if (fd >= 0) ::close(fd);
            throw EFileCreateError(CannotCreateFileMessage(folder));
        }
        folder_ = folder;
        folderFd_ = fd;
    }

    std::unique_ptr<TFileStream> CreateInFolder(const char* name, int access, mode_t mode, FileId& id) {
        if (folderFd_ < 0) MakeFolder();
        const std::string path = folder_ + "/" + name;
        int fd = -1;
        do {
            fd = ::openat(folderFd_, name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw EFileCreateError(CannotCreateFileMessage(path));
        ::fchmod(fd, mode);  // whatever the umask took away
        id = IdOf(fd);
        return std::make_unique<TFileStream>(path, fd);
    }

    std::string folder_;
    int folderFd_ = -1;
    FileId archiveId_;
    FileId installerId_;
};

}  // namespace
}  // namespace kq

int main() {
    kq::PosixPlatform platform;
    return kq::LauncherMain(platform);
}
