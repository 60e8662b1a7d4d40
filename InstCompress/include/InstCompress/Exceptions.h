// Exception classes of the archive expansion component and its streams.
#pragma once

#include <exception>
#include <string>

namespace kq {

// General exception base: a message plus the name of the concrete class, which
// the launcher's error box prints. `RaiseAddress` is the code address of the
// raise site, also for the error box.
class Exception : public std::exception {
public:
    explicit Exception(std::string message);

    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    virtual const char* ClassName() const noexcept { return "Exception"; }
    const void* RaiseAddress() const noexcept { return raiseAddress_; }

private:
    std::string message_;
    const void* raiseAddress_;
};

#define KQ_DECLARE_EXCEPTION(Name)                                        \
    class Name : public Exception {                                       \
    public:                                                               \
        using Exception::Exception;                                       \
        const char* ClassName() const noexcept override { return #Name; } \
    }

// Run-time failures.
KQ_DECLARE_EXCEPTION(EOutOfMemory);       // "Out of memory"
KQ_DECLARE_EXCEPTION(EFileOpenError);     // "Cannot open file %s"
KQ_DECLARE_EXCEPTION(EFileCreateError);   // "Cannot create file %s"
KQ_DECLARE_EXCEPTION(EStreamReadError);   // "Stream read error"
KQ_DECLARE_EXCEPTION(EStreamWriteError);  // "Stream write error"

// The component's own failures.
KQ_DECLARE_EXCEPTION(EInvalidHeader);
KQ_DECLARE_EXCEPTION(EInvalidHeaderArchiveType);
KQ_DECLARE_EXCEPTION(EUnrecognizedCompressionMethod);
KQ_DECLARE_EXCEPTION(EInvalidKey);
KQ_DECLARE_EXCEPTION(EBadChecksum);
KQ_DECLARE_EXCEPTION(EUnableToCompress);
KQ_DECLARE_EXCEPTION(ELZHBadDecodeTable);

#undef KQ_DECLARE_EXCEPTION

// The exact texts the component raises.
namespace msg {
inline constexpr const char* kOutOfMemory = "Out of memory";
inline constexpr const char* kStreamRead = "Stream read error";
inline constexpr const char* kStreamWrite = "Stream write error";
inline constexpr const char* kInvalidHeader = "Can't recognize compressed file header";
inline constexpr const char* kArchiveType = "Archive type must be caMulti";
inline constexpr const char* kInvalidKey = "File locked -- valid key required";
inline constexpr const char* kBadChecksum = "Bad checksum during expansion -- data may be invalid";
inline constexpr const char* kUnableToCompress = "Could not compress data";
inline constexpr const char* kBadDecodeTable = "Bad decode table in archive!";
inline constexpr const char* kRleDisabled = "RLE compression disabled in this build";
inline constexpr const char* kLzh1Disabled = "LZH1 compression disabled in this build";
inline constexpr const char* kLzh5Disabled = "LZH5 compression disabled in this build";
}  // namespace msg

std::string CannotOpenFileMessage(const std::string& fileName);
std::string CannotCreateFileMessage(const std::string& fileName);
std::string UnrecognizedMethodMessage(const std::string& methodId);

}  // namespace kq
