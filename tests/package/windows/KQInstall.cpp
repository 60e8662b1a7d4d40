// A stand-in KQInstall.exe: expands every entry of the archive the launcher
// hands it (/DATA=) through the component, under
// %KQ_TEST_TARGET%\Programme installé\, the entry names' '\' as folders.
// Exit code 0 when all of them were written, 1 otherwise.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "InstCompress/EntryReader.h"
#include "InstCompress/InstCompress.h"

namespace {

std::wstring DataSwitch() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::wstring prefix = L"/DATA=";
    std::wstring value;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.compare(0, prefix.size(), prefix) == 0) value = arg.substr(prefix.size());
    }
    LocalFree(argv);
    return value;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const wchar_t* target = _wgetenv(L"KQ_TEST_TARGET");
    const std::wstring data = DataSwitch();
    if (target == nullptr || data.empty()) return 1;
    const std::filesystem::path root = std::filesystem::path(target) / L"Programme installé";
    try {
        // The launcher has closed the archive; the component's names are UTF-8.
        kq::TArchiveFile archive(kq::Utf8FromWide(data), kq::FileMode::OpenReadShared);
        kq::TKQInstCompress component;
        kq::TEntryReader reader(archive.Stream(), component);
        while (const kq::ArchiveEntry* entry = reader.Next()) {
            std::wstring name = kq::WideFromUtf8(entry->name);
            if (name == L"Installer\\KQInstall.exe") continue;
            const std::filesystem::path file = root / name;
            std::filesystem::create_directories(file.parent_path());
            kq::TFileStream out(kq::Utf8FromWide(file.wstring()), kq::FileMode::Create);
            reader.Expand(out);
        }
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}
