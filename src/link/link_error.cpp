#include "link/link_error.h"

namespace korvath::link {

LinkError::LinkError(ErrorNumber number) : LinkError(number, std::string(toString(number))) {}

LinkError::LinkError(ErrorNumber number, const std::string& description)
    : std::runtime_error(description), number_(number) {}

}  // namespace korvath::link
