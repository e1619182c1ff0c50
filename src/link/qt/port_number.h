// How a port number becomes a port name on this platform; one source file per platform.
#pragma once

#include <QString>
#include <string>

namespace korvath::link::detail {

/// The name or device path that port number `number` opens, or an empty string with `error`
/// saying why there is none.
[[nodiscard]] QString portNameForNumber(int number, std::string& error);

}  // namespace korvath::link::detail
