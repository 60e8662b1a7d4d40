// The launcher's Win32 steps: the temporary archive, the Windows directory,
// and starting the installer and waiting for it. Strings are UTF-8; every
// call to the system is the wide-character one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "InstCompress/Stream.h"

namespace kq {

// The user's temporary directory, ending in a backslash; any length.
std::string TempDirectory();
// A new empty file "KQI<hex>.tmp" in `directory` (ending in a backslash),
// left open for reading and writing with others allowed only to read: while
// it is open nobody else can write, replace or delete it. Raises
// EFileCreateError.
std::unique_ptr<TFileStream> CreateTempFile(const std::string& directory);
// A new folder "KQI<hex>" in `parent` (ending in a backslash) whose access
// list admits only Administrators and SYSTEM; its path with a trailing
// backslash. Raises EFileCreateError.
std::string MakeAdminOnlyFolder(const std::string& parent);
// Whether the process runs with an elevated token.
bool RunningElevated();
// The Windows directory, always ending in a backslash.
std::string WindowsDirectory();
// Starts `file` with the "Open" verb; when `wait` is set, waits for it while
// keeping the message queue serviced. The exit code, or -1 on failure. When
// the start itself fails and `startError` is given, it receives the system's
// error code (never 0); otherwise it is left alone.
int32_t RunAndWait(const std::string& file, const std::string& parameters, int showCommand, bool wait,
                   uint32_t* startError = nullptr);
// The system's text for an error code, without the line break at its end.
std::string SystemErrorText(uint32_t error);

}  // namespace kq
