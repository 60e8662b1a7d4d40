#include "Setup/PlatformSteps.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace kq {

std::string MakeTempFileName() {
    char directory[256] = {};
    GetTempPathA(255, directory);
    char name[MAX_PATH + 1] = {};
    GetTempFileNameA(directory, "KQI", 0, name);
    return name;
}

std::string WindowsDirectory() {
    std::vector<char> buffer(261);
    const UINT length = GetWindowsDirectoryA(buffer.data(), 260);
    std::string directory(buffer.data(), length < buffer.size() ? length : 0);
    if (directory.empty() || directory.back() != '\\') directory += '\\';
    return directory;
}

int32_t RunAndWait(const std::string& file, const std::string& parameters, int showCommand, bool wait) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "Open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = "";
    info.nShow = showCommand;
    BOOL succeeded = ShellExecuteExA(&info);
    DWORD exitCode = 0;
    if (succeeded && wait) {
        // Peeking keeps the system from seeing a hung launcher while the
        // installer runs; nothing is dispatched.
        while (WaitForSingleObject(info.hProcess, 100) == WAIT_TIMEOUT) {
            MSG message;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
        }
        succeeded = GetExitCodeProcess(info.hProcess, &exitCode);
    }
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    return succeeded ? static_cast<int32_t>(exitCode) : -1;
}

#ifndef _WIN64
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "the record the shell expects");
#endif

}  // namespace kq
