#include "Setup/Win32Steps.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <vector>

#include "InstCompress/Exceptions.h"

namespace kq {

namespace {

// GetTempFileNameW takes folders of at most this many characters.
constexpr size_t kTempFileNameFolderLimit = MAX_PATH - 14;

std::wstring Hex(uint32_t value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789ABCDEF"[value & 15]);
        value >>= 4;
    } while (value != 0);
    return digits;
}

std::unique_ptr<TFileStream> Adopt(const std::wstring& name, HANDLE handle) {
    return std::make_unique<TFileStream>(Utf8FromWide(name), handle);
}

// Opens what GetTempFileNameW made, sharing it for reading only.
std::unique_ptr<TFileStream> CreateWithTempFileName(const std::wstring& directory) {
    std::vector<wchar_t> name(MAX_PATH + 1);
    if (GetTempFileNameW(directory.c_str(), L"KQI", 0, name.data()) == 0) {
        throw EFileCreateError(CannotCreateFileMessage(Utf8FromWide(directory) + "KQI"));
    }
    const std::wstring path = name.data();
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DeleteFileW(path.c_str());
        throw EFileCreateError(CannotCreateFileMessage(Utf8FromWide(path)));
    }
    return Adopt(path, h);
}

// The same naming for folders too long for GetTempFileNameW: a new name is
// made and opened in one step.
std::unique_ptr<TFileStream> CreateWithOwnName(const std::wstring& directory) {
    const DWORD start = GetTickCount();
    for (uint32_t i = 0; i < 0x10000; ++i) {
        const uint32_t unique = (start + i) & 0xFFFF;
        if (unique == 0) continue;
        const std::wstring path = directory + L"KQI" + Hex(unique) + L".tmp";
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return Adopt(path, h);
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw EFileCreateError(CannotCreateFileMessage(Utf8FromWide(path)));
        }
    }
    throw EFileCreateError(CannotCreateFileMessage(Utf8FromWide(directory) + "KQI"));
}

// Frees what the system allocated with LocalAlloc.
struct LocalFreer {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Why ShellExecuteExW failed. The shell may have shown its own box by then,
// which can leave another code behind; its result code, where it names a
// system error, is the reason.
DWORD StartErrorOf(const SHELLEXECUTEINFOW& info) {
    const DWORD lastError = GetLastError();
    const auto result = static_cast<DWORD>(reinterpret_cast<uintptr_t>(info.hInstApp));
    switch (result) {
        case SE_ERR_FNF:
        case SE_ERR_PNF:
        case SE_ERR_ACCESSDENIED:
        case SE_ERR_OOM:
        case ERROR_BAD_FORMAT: return result;  // the same numbers as the system's errors
        case SE_ERR_SHARE: return ERROR_SHARING_VIOLATION;
        case SE_ERR_NOASSOC: return ERROR_NO_ASSOCIATION;
        default: return lastError != 0 ? lastError : ERROR_BAD_FORMAT;
    }
}

}  // namespace

std::string TempDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD length = 0;
    for (;;) {
        length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length < buffer.size()) break;
        buffer.resize(length + 1);
    }
    std::wstring directory(buffer.data(), length);
    // Some systems refuse a TMP or TEMP longer than MAX_PATH there; the
    // variables themselves, in the same order, have no such limit.
    for (const wchar_t* name : {L"TMP", L"TEMP"}) {
        if (!directory.empty()) break;
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size == 0) continue;
        buffer.resize(size);
        const DWORD got = GetEnvironmentVariableW(name, buffer.data(), size);
        if (got < size) directory.assign(buffer.data(), got);
    }
    if (directory.empty()) throw EFileCreateError(CannotCreateFileMessage("KQI.tmp"));
    if (directory.back() != L'\\') directory += L'\\';
    return Utf8FromWide(directory);
}

std::unique_ptr<TFileStream> CreateTempFile(const std::string& directory) {
    const std::wstring wide = WideFromUtf8(directory);
    if (wide.size() <= kTempFileNameFolderLimit) return CreateWithTempFileName(wide);
    return CreateWithOwnName(wide);
}

std::string MakeAdminOnlyFolder(const std::string& parent) {
    // Protected (no inherited entries): full access for Administrators and
    // SYSTEM, passed on to the files inside.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        throw EFileCreateError(CannotCreateFileMessage(parent + "KQI"));
    }
    const std::unique_ptr<void, LocalFreer> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const std::wstring wideParent = WideFromUtf8(parent);
    const DWORD start = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (uint32_t i = 0; i < 0x10000; ++i) {
        const std::wstring folder = wideParent + L"KQI" + Hex(start + i);
        if (CreateDirectoryW(folder.c_str(), &attributes)) return Utf8FromWide(folder + L"\\");
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw EFileCreateError(CannotCreateFileMessage(Utf8FromWide(folder)));
        }
    }
    throw EFileCreateError(CannotCreateFileMessage(parent + "KQI"));
}

bool RunningElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

std::string WindowsDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    UINT length = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    }
    std::wstring directory(buffer.data(), length < buffer.size() ? length : 0);
    if (directory.empty() || directory.back() != L'\\') directory += L'\\';
    return Utf8FromWide(directory);
}

int32_t RunAndWait(const std::string& file, const std::string& parameters, int showCommand, bool wait,
                   uint32_t* startError) {
    const std::wstring wideFile = WideFromUtf8(file);
    const std::wstring wideParameters = WideFromUtf8(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"Open";
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.lpDirectory = L"";
    info.nShow = showCommand;
    BOOL succeeded = ShellExecuteExW(&info);
    if (!succeeded && startError != nullptr) *startError = StartErrorOf(info);
    DWORD exitCode = 0;
    if (succeeded && wait) {
        // Peeking keeps the system from seeing a hung launcher while the
        // installer runs; nothing is dispatched.
        while (WaitForSingleObject(info.hProcess, 100) == WAIT_TIMEOUT) {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        }
        succeeded = GetExitCodeProcess(info.hProcess, &exitCode);
    }
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    return succeeded ? static_cast<int32_t>(exitCode) : -1;
}

std::string SystemErrorText(uint32_t error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const std::unique_ptr<void, LocalFreer> owned(text);
    std::wstring wide = length != 0 ? std::wstring(text, length) : L"error 0x" + Hex(error);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' '))
        wide.pop_back();
    return Utf8FromWide(wide);
}

#ifndef _WIN64
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "the record the shell expects");
#endif

}  // namespace kq
