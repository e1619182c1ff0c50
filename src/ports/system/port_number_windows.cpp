#include <utility>

#include "ports/system/port_list.h"
#include "ports/windows_port_name.h"

namespace korvath::ports::detail {

NumberedPort portNameForNumber(int number, const std::vector<ListedPort>&) {
    if (auto name = windows::comName(number)) return {std::move(*name), {}};
    return {{}, "No serial port number " + std::to_string(number)};
}

int numberOfListedPort(int, const std::string& portName) {
    return windows::comNumber(portName).value_or(0);
}

}  // namespace korvath::ports::detail
