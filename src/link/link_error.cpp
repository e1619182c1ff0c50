#include "link/link_error.h"

namespace korvath::link {

std::string_view toString(ErrorNumber number) {
    switch (number) {
        case ErrorNumber::Overflow:
            return "Overflow";
        case ErrorNumber::IndexOutOfRange:
            return "Subscript out of range";
        case ErrorNumber::DeviceIo:
            return "Device I/O error";
    }
    return "Unknown error";
}

LinkError::LinkError(ErrorNumber number) : LinkError(number, std::string(toString(number))) {}

LinkError::LinkError(ErrorNumber number, const std::string& description)
    : std::runtime_error(description), number_(number) {}

}  // namespace korvath::link
