#include "InstCompress/Exceptions.h"

namespace kq {

// Kept out of line so that the return address is the raise site's code.
__attribute__((noinline)) Exception::Exception(std::string message)
    : message_(std::move(message)), raiseAddress_(__builtin_return_address(0)) {}

std::string CannotOpenFileMessage(const std::string& fileName) {
    return "Cannot open file " + fileName;
}

std::string CannotCreateFileMessage(const std::string& fileName) {
    return "Cannot create file " + fileName;
}

std::string UnrecognizedMethodMessage(const std::string& methodId) {
    return "Unrecognized compression method: \"" + methodId + "\" in header";
}

}  // namespace kq
