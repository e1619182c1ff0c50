#include "ports/device_path.h"
#include "ports/windows_port_name.h"

namespace korvath::ports {

// Qt puts "\\.\" only before a name spelt "COM..." in capitals, so "com12" would not open; the
// device path opens every spelling and makes COM3, com3 and \\.\COM3 one port for the lock.
ResolvedDevice resolveDevice(std::string_view name) {
    return {windows::devicePath(name), {}};
}

}  // namespace korvath::ports
