// Opens the port a user's port text names: the simulated controller for "sim[:N]", otherwise
// a real serial port. Also lists what the user can choose from. Used by the window and the CLI.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/port.h"

namespace korvath::sim {

/// An open port, or why there is none (`port` is then null and `error` says why).
struct OpenedPort {
    std::unique_ptr<link::Port> port;
    std::string error;

    explicit operator bool() const { return port != nullptr; }
};

/// Opens what `text` names (see link::parsePortText). "sim", "sim:1".."sim:3" give a fresh
/// simulated controller of that model on `clock`, with default timing and no faults; each
/// call is a new device with erased flash. Anything else opens a real serial port, which is
/// thread-bound to the calling thread. `clock` must outlive a simulated port.
[[nodiscard]] OpenedPort openPortByText(std::string_view text, link::Clock& clock);

/// One entry of a port list: the text that opens it and what to show next to it.
struct PortChoice {
    std::string text;
    std::string description;
};

/// The serial ports the system lists, in its order, followed by "sim", "sim:2" and "sim:3".
[[nodiscard]] std::vector<PortChoice> listPortChoices();

}  // namespace korvath::sim
