#include "ports/system/port_list.h"

namespace korvath::ports::detail {

// Number n is the n-th listed port, so that "1" is the one USB adapter plugged in, whatever
// name the system gave it: Linux has no port numbers of its own.
platform::Result<std::string> portNameForNumber(int number, const std::vector<ListedPort>& listed) {
    const auto size = static_cast<int>(listed.size());
    if (number >= 1 && number <= size)
        return devicePath(listed[static_cast<std::size_t>(number - 1)].name);

    std::string error = "No serial port number " + std::to_string(number) + ": ";
    if (listed.empty()) {
        error += "the system lists no serial ports";
    } else {
        error +=
            "the system lists " + std::to_string(size) + " (1 to " + std::to_string(size) + ")";
    }
    return platform::Fault{platform::ErrorNumber::FileNotFound, error};
}

int numberOfListedPort(int position, const std::string&) {
    return position;
}

}  // namespace korvath::ports::detail
