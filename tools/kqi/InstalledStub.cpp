#include "tools/kqi/InstalledStub.h"

#include <filesystem>
#include <vector>

#include "tools/kqi/Platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kq::tools {

namespace fs = std::filesystem;

namespace {

fs::path OwnExecutable() {
#ifdef _WIN32
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return fs::path(std::wstring(buffer.data(), length));
        buffer.resize(buffer.size() * 2);
    }
#else
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error);
#endif
}

}  // namespace

InstalledStubs FindInstalledStub() {
    InstalledStubs found;
    const fs::path self = OwnExecutable();
    if (self.empty()) return found;
    for (const fs::path& folder :
         {self.parent_path(), (self.parent_path() / KQ_STUB_DIR_FROM_BIN).lexically_normal()}) {
        found.folders.push_back(Utf8FromPath(folder));
        for (const char* name : {"kqsetup.exe", "kqsetup"}) {
            std::error_code error;
            if (!found.stub && fs::is_regular_file(folder / name, error))
                found.stub = Utf8FromPath(folder / name);
        }
    }
    return found;
}

}  // namespace kq::tools
