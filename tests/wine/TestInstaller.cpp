// A stand-in installer for the launcher's end-to-end tests. It records how
// it was started and what it found, into the file named by KQ_TEST_REPORT
// (default: KQInstall.report beside itself):
//   cmdline=<its whole command line>
//   self=<its own path>
//   data_exclusive=<1 when the /DATA= file can be opened by it alone>
// and copies the /DATA= file to <report>.data. KQ_TEST_SLEEP_MS delays the
// report, so that a launcher that does not wait exits before it exists;
// KQ_TEST_EXIT sets the exit code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string SwitchValue(const char* prefix) {
    const size_t length = std::strlen(prefix);
    for (int i = 1; i < __argc; ++i) {
        if (std::strncmp(__argv[i], prefix, length) == 0) return __argv[i] + length;
    }
    return "";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char self[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string report = Environment("KQ_TEST_REPORT");
    if (report.empty()) {
        report = self;
        report = report.substr(0, report.find_last_of('\\') + 1) + "KQInstall.report";
    }
    const std::string data = SwitchValue("/DATA=");
    bool exclusive = false;
    const HANDLE h = CreateFileA(data.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        exclusive = true;
        CloseHandle(h);
    }
    CopyFileA(data.c_str(), (report + ".data").c_str(), FALSE);

    const std::string sleepMs = Environment("KQ_TEST_SLEEP_MS");
    if (!sleepMs.empty()) Sleep(static_cast<DWORD>(std::atoi(sleepMs.c_str())));

    if (std::FILE* f = std::fopen(report.c_str(), "wb")) {
        std::fprintf(f, "cmdline=%s\nself=%s\ndata_exclusive=%d\n", GetCommandLineA(), self, exclusive ? 1 : 0);
        std::fclose(f);
    }
    const std::string exitCode = Environment("KQ_TEST_EXIT");
    return exitCode.empty() ? 0 : std::atoi(exitCode.c_str());
}
