#include "ports/device_path.h"
#include "ports/windows_port_name.h"

namespace korvath::ports {

// The device path opens every spelling ("com12" as well as "COM12") and makes COM3, com3 and
// \\.\COM3 one port.
platform::Result<std::string> resolveDevice(std::string_view name) {
    return windows::devicePath(name);
}

}  // namespace korvath::ports
