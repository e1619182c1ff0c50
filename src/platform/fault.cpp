#include "platform/fault.h"

#include <cerrno>
#include <system_error>

namespace korvath::platform {

std::string_view toString(ErrorNumber number) {
    switch (number) {
        case ErrorNumber::InvalidArgument:
            return "Invalid procedure call or argument";
        case ErrorNumber::Overflow:
            return "Overflow";
        case ErrorNumber::IndexOutOfRange:
            return "Subscript out of range";
        case ErrorNumber::FileNotFound:
            return "File not found";
        case ErrorNumber::DeviceIo:
            return "Device I/O error";
        case ErrorNumber::DiskFull:
            return "Disk full";
        case ErrorNumber::PermissionDenied:
            return "Permission denied";
        case ErrorNumber::PathFileAccess:
            return "Path/File access error";
    }
    return "Unknown error";
}

std::string Fault::shown() const {
    return std::to_string(static_cast<int>(number)) + " - " + text;
}

Fault faultOf(ErrorNumber number) {
    return {number, std::string(toString(number))};
}

ErrorNumber errorNumberOf(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
        case ENOTDIR:
            return ErrorNumber::FileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return ErrorNumber::PermissionDenied;
        case ENOSPC:
            return ErrorNumber::DiskFull;
        case EISDIR:
            return ErrorNumber::PathFileAccess;
        case EINVAL:
            return ErrorNumber::InvalidArgument;
        default:
            return ErrorNumber::DeviceIo;
    }
}

Fault faultFromErrno(int errnoValue, std::string_view what) {
    const ErrorNumber number = errorNumberOf(errnoValue);
    const std::string system = errnoValue == 0 ? std::string(toString(number))
                                               : std::generic_category().message(errnoValue);
    return {number, std::string(what) + ": " + system};
}

}  // namespace korvath::platform
