// The launcher's Win32 steps: the temporary archive's name, the Windows
// directory, and starting the installer and waiting for it.
#pragma once

#include <cstdint>
#include <string>

namespace kq {

// A new empty file "KQI<hex>.tmp" in the user's temporary directory.
std::string MakeTempFileName();
// The Windows directory, always ending in a backslash.
std::string WindowsDirectory();
// Starts `file` with the "Open" verb; when `wait` is set, waits for it while
// keeping the message queue serviced. The exit code, or -1 on failure.
int32_t RunAndWait(const std::string& file, const std::string& parameters, int showCommand, bool wait);

}  // namespace kq
