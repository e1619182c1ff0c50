// Which device a port name or path really is, resolved before it is opened: the port lock and
// every message then name the device itself, so that a symbolic link (a /dev/serial/by-id
// name) cannot open a port a second time under another name.
#pragma once

#include <string>
#include <string_view>

#include "platform/fault.h"

namespace korvath::ports {

/// The device to open. A bare name ("ttyUSB0") stands for that name in /dev; a path has its
/// symbolic links resolved. A device that does not exist is refused (FileNotFound) with a
/// message that says what to do. On Windows a name becomes its device path ("com12" gives
/// "\\.\COM12"); one adapter file per system.
[[nodiscard]] platform::Result<std::string> resolveDevice(std::string_view name);

}  // namespace korvath::ports
