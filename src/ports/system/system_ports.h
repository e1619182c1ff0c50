// The program's ports: the serial ports the system lists and the built-in simulated
// controllers, opened from the text a user types. The window and the command-line tool both
// open their ports here.
#pragma once

#include <string>
#include <utility>

#include "ports/port_opener.h"

namespace korvath::ports {

class SystemPorts final : public PortOpener {
  public:
    /// `listAdvice` ends the reason of a port that is not there: where this front end shows the
    /// ports there are (a command on a terminal, the drop-down in the window).
    explicit SystemPorts(std::string listAdvice = kCommandLineListAdvice)
        : listAdvice_(std::move(listAdvice)) {}

    static constexpr const char* kCommandLineListAdvice =
        "korvath-cli --list-ports shows the ports there are";
    static constexpr const char* kWindowListAdvice = "pick one of the ports in the port box's list";

    /// The serial ports the system lists, in name order, followed by "sim", "sim:2" and "sim:3".
    [[nodiscard]] std::vector<PortChoice> listChoices() override;

    /// "sim[:N]" opens a simulated controller (see openSimulated). A number n opens the n-th
    /// listed port on Linux and COMn (n up to 255) on Windows; "usb:SERIAL" the one listed
    /// adapter with that serial number; any other text that port name or device path. A real
    /// port runs at 38400 baud, 8N1. A port that another program holds is refused as busy; one
    /// that does not exist is refused naming the ports the system lists.
    [[nodiscard]] platform::Result<OpenedPort> open(std::string_view text,
                                                    link::Clock& clock) override;

  private:
    [[nodiscard]] platform::Result<OpenedPort> openPort(std::string_view text, link::Clock& clock);

    std::string listAdvice_;
};

}  // namespace korvath::ports
