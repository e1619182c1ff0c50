// The program's ports: the serial ports the system lists and the built-in simulated
// controllers, opened from the text a user types. The window and the command-line tool both
// open their ports here.
#pragma once

#include "ports/port_opener.h"

namespace korvath::ports {

class SystemPorts final : public PortOpener {
  public:
    /// The serial ports the system lists, in name order, followed by "sim", "sim:2" and "sim:3".
    [[nodiscard]] std::vector<PortChoice> listChoices() override;

    /// "sim[:N]" opens a simulated controller (see openSimulated). A number n opens the n-th
    /// listed port on Linux and COMn (n up to 255) on Windows; "usb:SERIAL" the one listed
    /// adapter with that serial number; any other text that port name or device path. A real
    /// port runs at 38400 baud, 8N1. A port that another program holds is refused as busy; one
    /// that does not exist is refused naming the ports the system lists.
    [[nodiscard]] platform::Result<OpenedPort> open(std::string_view text,
                                                    link::Clock& clock) override;
};

}  // namespace korvath::ports
