// Serial port names as Windows gives them: COM1, COM2, ... in any letter case. Windows opens
// COM1 to COM9 under their bare names, but COM10 and above only under their device path
// \\.\COM10; the device path opens every port, so it is the one form to open and to compare.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/fault.h"

namespace korvath::ports::windows {

/// The port that number `number` names: "COM" and the number; none below 1.
[[nodiscard]] std::optional<std::string> comName(int number);

/// The highest COM port number a port text opens: the system numbers its ports up to this.
inline constexpr int kMaxComNumber = 255;

/// The device that port number `number` opens on Windows: COM port `number` itself ("5" opens
/// "\\.\COM5", whichever ports the system lists), so that the number a technician reads in
/// the Device Manager is the one to type. A number above kMaxComNumber (or below 1) is an
/// InvalidArgument fault that says the range.
[[nodiscard]] platform::Result<std::string> portForNumber(int number);

/// The number of a COM port name ("COM3", "com3", "\\.\COM12"), or none when `name` is no COM
/// port name: the digits must follow "COM" directly, without a leading zero.
[[nodiscard]] std::optional<int> comNumber(std::string_view name);

/// The device path that opens port `name`: "COM3", "com3" and "\\.\com3" all give "\\.\COM3",
/// and any other bare device name ("CNCA0") is put under "\\.\" too. A path with a folder or a
/// drive in it is no device name and is returned as it stands.
[[nodiscard]] std::string devicePath(std::string_view name);

}  // namespace korvath::ports::windows
