// Finding a USB serial adapter by its serial number ("usb:SERIAL"), which stays with the
// adapter wherever and in whatever order it is plugged in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ports/port_opener.h"

namespace korvath::ports {

/// The name of the one listed port whose serial number is exactly `serial` (compared as it
/// stands: serial numbers are case-sensitive). None (FileNotFound), or more than one
/// (InvalidArgument), is refused: two adapters with one serial number cannot be told apart,
/// and guessing could flash the wrong controller.
[[nodiscard]] platform::Result<std::string> portWithSerial(const std::vector<PortChoice>& listed,
                                                           std::string_view serial);

}  // namespace korvath::ports
