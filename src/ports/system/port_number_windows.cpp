#include "ports/system/port_list.h"
#include "ports/windows_port_name.h"

namespace korvath::ports::detail {

// Number n is COMn, as the Device Manager and every other Windows program number the ports:
// the list's order would change with each adapter plugged in and flash the wrong controller.
platform::Result<std::string> portNameForNumber(int number, const std::vector<ListedPort>&) {
    return windows::portForNumber(number);
}

int numberOfListedPort(int, const std::string& portName) {
    const std::optional<int> number = windows::comNumber(portName);
    return number && *number <= windows::kMaxComNumber ? *number : 0;
}

}  // namespace korvath::ports::detail
