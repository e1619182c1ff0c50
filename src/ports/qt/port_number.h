// How a port number becomes a port name on this platform; one source file per platform.
#pragma once

#include <string>

namespace korvath::ports::detail {

/// The name or device path that port number `number` opens, or an empty name with `error`
/// saying why there is none.
struct NumberedPort {
    std::string name;
    std::string error;
};

[[nodiscard]] NumberedPort portNameForNumber(int number);

/// The number that opens the `position`-th listed port (from 1), whose name is `portName`.
[[nodiscard]] int numberOfListedPort(int position, const std::string& portName);

}  // namespace korvath::ports::detail
