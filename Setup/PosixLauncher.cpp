// kqsetup: the launcher on POSIX systems. The installer goes into a fresh
// private folder instead of a shared system folder.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "InstCompress/Exceptions.h"
#include "Setup/LauncherFlow.h"

extern char** environ;

namespace kq {
namespace {

std::string TempDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string directory = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return directory;
}

class PosixPlatform final : public LauncherPlatform {
public:
    ~PosixPlatform() override {
        // Only succeeds while the folder is empty: the installer never got
        // there or was removed after a failed expansion.
        if (!installerFolder_.empty()) ::rmdir(installerFolder_.c_str());
    }

    std::string ImagePath() override {
        std::vector<char> buffer(256);
        for (;;) {
            const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
            if (length < 0) throw EFileOpenError(CannotOpenFileMessage("/proc/self/exe"));
            if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(length));
            buffer.resize(buffer.size() * 2);
        }
    }

    std::string MakeTempFileName() override {
        const std::string pattern = TempDirectory() + "/KQIXXXXXX.tmp";
        std::string name = pattern;
        const int fd = ::mkstemps(name.data(), 4);
        if (fd < 0) throw EFileCreateError(CannotCreateFileMessage(pattern));
        ::close(fd);
        return name;
    }

    std::string InstallerFolder() override {
        const std::string pattern = TempDirectory() + "/KQIXXXXXX";
        std::string folder = pattern;
        if (::mkdtemp(folder.data()) == nullptr) throw EFileCreateError(CannotCreateFileMessage(pattern));
        installerFolder_ = folder;
        return folder + "/";
    }

    int32_t RunInstaller(const std::string& installerPath, const std::string& imagePath,
                         const std::string& archivePath) override {
        ::chmod(installerPath.c_str(), 0700);
        std::string source = "/SOURCE=" + imagePath;
        std::string data = "/DATA=" + archivePath;
        std::string program = installerPath;
        char* argv[] = {program.data(), source.data(), data.data(), nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, installerPath.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Beep() override {
        const char bell = '\a';
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, &bell, 1);
    }

    void ShowErrorBox(const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", kErrorBoxCaption, text.c_str());
    }

private:
    std::string installerFolder_;
};

}  // namespace
}  // namespace kq

int main() {
    kq::PosixPlatform platform;
    return kq::LauncherMain(platform);
}
