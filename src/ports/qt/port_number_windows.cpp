#include "ports/qt/port_number.h"
#include "ports/windows_port_name.h"

#include <utility>

namespace korvath::ports::detail {

NumberedPort portNameForNumber(int number) {
    if (auto name = windows::comName(number)) return {std::move(*name), {}};
    return {{}, "No serial port number " + std::to_string(number)};
}

int numberOfListedPort(int, const std::string& portName) {
    return windows::comNumber(portName).value_or(0);
}

}  // namespace korvath::ports::detail
