#include "link/link_error.h"

namespace korvath::link {

LinkError::LinkError(ErrorNumber number)
    : std::runtime_error(std::string(toString(number))), fault_(platform::faultOf(number)) {}

}  // namespace korvath::link
