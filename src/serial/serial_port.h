// The system's serial ports as link::Port: one implementation per system (linux_port.cpp,
// windows_port.cpp), chosen by the build. A port runs at 38400 baud, 8 data bits, no parity,
// 1 stop bit, no flow control, and is held by this program alone while it is open: the system
// releases that hold when the program ends, however it ends, so nothing is left behind.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/clock.h"
#include "link/port.h"

namespace korvath::serial {

/// Opens the device `device` (a device path on Linux, "\\.\COMn" on Windows) as given; what a
/// user's port text stands for is the ports module's business. The port is used, closed and
/// destroyed on one thread at a time, and waits on `clock`, which must outlive it.
///
/// A device that goes away (adapter pulled, other end of a pseudo-terminal closed) makes the
/// next operation fail with "Port DEVICE was lost: ..."; the port then closes itself.
///
/// A port another program holds is refused with busyMessage() as a PermissionDenied fault; a
/// device that does not exist is FileNotFound.
[[nodiscard]] platform::Result<link::OpenedPort> openSerialPort(std::string_view device,
                                                                link::Clock& clock);

/// "Port DEVICE is busy: another program has it open".
[[nodiscard]] std::string busyMessage(std::string_view device);

/// "Port DEVICE was lost: the adapter was unplugged or reset".
[[nodiscard]] std::string lostMessage(std::string_view device);

namespace detail {

/// Linux: the USB adapter behind `device` when its latency timer
/// (`ttyClass`/NAME/device/latency_timer, NAME the device's file name) reads above 1 ms, with the
/// product name beside it; nullopt otherwise, and for a device already found so in this run.
[[nodiscard]] std::optional<link::SlowAdapter> slowAdapter(const std::string& device,
                                                           const std::filesystem::path& ttyClass);

}  // namespace detail

}  // namespace korvath::serial
