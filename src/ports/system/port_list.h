// The serial ports the system knows, one source file per system: libudev on Linux
// (port_list_linux.cpp), the registry and SetupAPI on Windows (port_list_windows.cpp).
#pragma once

#include <string>
#include <vector>

#include "platform/fault.h"

namespace korvath::ports::detail {

struct ListedPort {
    std::string name;         ///< "ttyUSB0", "COM3": what --port takes
    std::string description;  ///< the adapter's product or friendly name; may be empty
    std::string maker{};
    std::string usbId{};  ///< "vvvv:pppp" in lower-case hex, empty when not USB
    std::string serialNumber{};
    std::string byId{};  ///< the /dev/serial/by-id name that stays with the adapter
};

/// Every serial port the system lists, ordered by name with numbers compared as numbers
/// (ttyUSB2 before ttyUSB10, COM2 before COM10).
[[nodiscard]] std::vector<ListedPort> listPorts();

/// What opens the listed port `name`: its device path on Linux, the name itself on Windows.
[[nodiscard]] std::string devicePath(const std::string& name);

/// The name or device path that port number `number` opens; FileNotFound when there is none.
[[nodiscard]] platform::Result<std::string> portNameForNumber(
    int number, const std::vector<ListedPort>& listed);

/// The number that opens the `position`-th listed port (from 1), whose name is `portName`.
[[nodiscard]] int numberOfListedPort(int position, const std::string& portName);

/// `missing` (a port that does not exist) with the ports that do appended: ": the system lists
/// COM1, COM5", or that it lists none.
[[nodiscard]] platform::Fault withListedPorts(platform::Fault missing,
                                              const std::vector<ListedPort>& listed);

/// Orders names as listPorts promises.
[[nodiscard]] bool nameBefore(const std::string& a, const std::string& b);

}  // namespace korvath::ports::detail
