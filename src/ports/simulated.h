// The built-in simulated controller as a port backend: "sim", "sim:2" and "sim:3" open a fresh
// in-process controller of that device model on the caller's clock. No system port.
#pragma once

#include <vector>

#include "link/clock.h"
#include "ports/port_opener.h"

namespace korvath::ports {

/// A new simulated controller of device `model` (1..3) with erased flash, default timing and no
/// faults; each call is a new device. `clock` must outlive the port.
[[nodiscard]] platform::Result<OpenedPort> openSimulated(int model, link::Clock& clock);

/// "sim", "sim:2" and "sim:3", in that order, each with its model in the description.
[[nodiscard]] std::vector<PortChoice> simulatedChoices();

}  // namespace korvath::ports
