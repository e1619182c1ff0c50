// Ports as the front ends see them: what can be chosen, and opening what a port text names.
// The window and the command-line tool use this interface; the backends (the system's serial
// ports, the built-in simulated controller) sit behind it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/port.h"

namespace korvath::ports {

/// One entry of a port list: `text` is what opens the port, `description` what to show beside it.
struct PortChoice {
    std::string text;
    std::string description;
    /// The port number that opens this port too; 0 when numbers do not reach it.
    int number = 0;
    /// USB vendor and product id as "vvvv:pppp", and the adapter's serial number, where the
    /// system knows them; empty otherwise.
    std::string usbId{};
    std::string serialNumber{};
    /// The adapter's maker, and the name under /dev/serial/by-id that stays with the adapter
    /// wherever it is plugged in; empty where the system does not say.
    std::string maker{};
    std::string byId{};
};

/// An open port and what to tell the user about its adapter, found once per device and run.
using link::OpenedPort;

/// What to tell the user about `slow`: what its latency timer costs every reply, and how to
/// lower it on this system.
[[nodiscard]] std::string slowAdapterAdvice(const link::SlowAdapter& slow);

class PortOpener {
  public:
    virtual ~PortOpener() = default;

    /// The ports offered right now, in display order.
    [[nodiscard]] virtual std::vector<PortChoice> listChoices() = 0;

    /// Opens what `text` names (see parsePortText), on `clock`, which must outlive the port.
    /// The port is bound to the calling thread: it is used, closed and destroyed there. The
    /// fault's text says why nothing opened, naming what the text asked for.
    [[nodiscard]] virtual platform::Result<OpenedPort> open(std::string_view text,
                                                            link::Clock& clock) = 0;
};

}  // namespace korvath::ports
