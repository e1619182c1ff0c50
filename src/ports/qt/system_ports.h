// The program's ports: the serial ports the system lists (through Qt's serial port) and the
// built-in simulated controllers, opened from the text a user types. The window and the
// command-line tool both open their ports here.
#pragma once

#include "ports/port_opener.h"

namespace korvath::ports {

class SystemPorts final : public PortOpener {
  public:
    /// The serial ports the system lists, in its order, followed by "sim", "sim:2" and "sim:3".
    [[nodiscard]] std::vector<PortChoice> listChoices() override;

    /// "sim[:N]" opens a simulated controller (see openSimulated). A number opens COMn on
    /// Windows and the n-th listed port elsewhere; any other text opens that port name or
    /// device path. A real port runs at 38400 baud, 8N1, and is bound to the calling thread.
    [[nodiscard]] OpenedPort open(std::string_view text, link::Clock& clock) override;
};

}  // namespace korvath::ports
