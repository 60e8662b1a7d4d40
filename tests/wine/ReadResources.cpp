// Reads a program's version information and icon the way Windows programs
// do, for the setup resource tests: GetFileVersionInfoW, VerQueryValueW
// through the file's first translation, and ExtractIconExW. Writes UTF-8
// lines to OUT:
//   version=<fixed file version>   product=<fixed product version>
//   <key>=<value> for each KEY given
//   icons=<the number of icon groups>   icon=<1 when the first one loads>
// Usage: kqtest_resources FILE OUT KEY...
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), n, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

std::string Version(DWORD ms, DWORD ls) {
    return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." + std::to_string(HIWORD(ls)) +
           "." + std::to_string(LOWORD(ls));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    std::FILE* out = _wfopen(argv[2], L"wb");
    if (out == nullptr) return 2;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    std::vector<unsigned char> info(size);
    if (size != 0 && GetFileVersionInfoW(argv[1], 0, size, info.data())) {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
            length >= sizeof *fixed) {
            std::fprintf(out, "version=%s\nproduct=%s\n",
                         Version(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str(),
                         Version(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
        }
        WORD* translation = nullptr;
        if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                           &length) &&
            length >= 4) {
            for (int i = 3; i < argc; ++i) {
                wchar_t path[256];
                swprintf(path, 256, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1],
                         argv[i]);
                wchar_t* value = nullptr;
                if (VerQueryValueW(info.data(), path, reinterpret_cast<void**>(&value), &length) &&
                    value != nullptr) {
                    std::fprintf(out, "%s=%s\n", Utf8(argv[i]).c_str(), Utf8(value).c_str());
                }
            }
        }
    }
    const UINT groups = ExtractIconExW(argv[1], -1, nullptr, nullptr, 0);
    HICON large = nullptr;
    const UINT loaded = groups > 0 ? ExtractIconExW(argv[1], 0, &large, nullptr, 1) : 0;
    std::fprintf(out, "icons=%u\nicon=%d\n", groups, loaded == 1 && large != nullptr ? 1 : 0);
    if (large != nullptr) DestroyIcon(large);
    std::fclose(out);
    return 0;
}
