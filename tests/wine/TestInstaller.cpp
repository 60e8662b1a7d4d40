// A stand-in installer for the launcher's end-to-end tests. It records how
// it was started and what it found, in UTF-8, into the file named by
// KQ_TEST_REPORT (default: KQInstall.report beside itself):
//   cmdline=<its whole command line>
//   self=<its own path>
//   data_exclusive=<1 when the /DATA= file can be opened by it alone>
// and copies the /DATA= file to <report>.data. KQ_TEST_SLEEP_MS delays the
// report, so that a launcher that does not wait exits before it exists;
// KQ_TEST_EXIT sets the exit code (decimal or 0x hex, all 32 bits).
//
// Started as `kqtest_installer.exe /RUN COMMAND LINE`, it is none of that:
// it runs the command line, waits, and prints "exit=<code>" (unsigned
// decimal) on its standard output. Under wine a Linux shell sees only the
// low 8 bits of a Windows program's exit code; this sees all 32.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value != nullptr ? value : L"";
}

std::string Utf8(const std::wstring& wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                        nullptr);
    return utf8;
}

std::wstring SwitchValue(const std::wstring& prefix) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring value;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.compare(0, prefix.size(), prefix) == 0) value = arg.substr(prefix.size());
    }
    LocalFree(argv);
    return value;
}

// Runs `commandLine` and reports its exit code; returns it too.
DWORD RunAndReport(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD exitCode = 0;
    std::string line = "exit=start failed\n";
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        if (GetExitCodeProcess(process.hProcess, &exitCode)) line = "exit=" + std::to_string(exitCode) + "\n";
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
    return exitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    {
        int argc = 0;
        wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        const bool run = argc > 2 && std::wstring(argv[1]) == L"/RUN";
        LocalFree(argv);
        const std::wstring all = GetCommandLineW();
        const size_t at = all.find(L" /RUN ");
        if (run && at != std::wstring::npos) return static_cast<int>(RunAndReport(all.substr(at + 6)));
    }
    wchar_t self[32768] = {};
    GetModuleFileNameW(nullptr, self, 32767);
    std::wstring report = Environment(L"KQ_TEST_REPORT");
    if (report.empty()) {
        report = self;
        report = report.substr(0, report.find_last_of(L'\\') + 1) + L"KQInstall.report";
    }
    const std::wstring data = SwitchValue(L"/DATA=");
    bool exclusive = false;
    const HANDLE h = CreateFileW(data.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        exclusive = true;
        CloseHandle(h);
    }
    CopyFileW(data.c_str(), (report + L".data").c_str(), FALSE);

    const std::wstring sleepMs = Environment(L"KQ_TEST_SLEEP_MS");
    if (!sleepMs.empty()) Sleep(static_cast<DWORD>(_wtoi(sleepMs.c_str())));

    if (std::FILE* f = _wfopen(report.c_str(), L"wb")) {
        std::fprintf(f, "cmdline=%s\nself=%s\ndata_exclusive=%d\n", Utf8(GetCommandLineW()).c_str(),
                     Utf8(self).c_str(), exclusive ? 1 : 0);
        std::fclose(f);
    }
    const std::wstring exitCode = Environment(L"KQ_TEST_EXIT");
    return exitCode.empty() ? 0 : static_cast<int>(std::wcstoul(exitCode.c_str(), nullptr, 0));
}
