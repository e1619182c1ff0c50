// Serial port names as Windows gives them: COM1, COM2, ... in any letter case. Windows opens
// COM1 to COM9 under their bare names, but COM10 and above only under their device path
// \\.\COM10; the device path opens every port, so it is the one form to open and to compare.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvath::ports::windows {

/// The port that number `number` names: "COM" and the number; none below 1.
[[nodiscard]] std::optional<std::string> comName(int number);

/// The number of a COM port name ("COM3", "com3", "\\.\COM12"), or none when `name` is no COM
/// port name: the digits must follow "COM" directly, without a leading zero.
[[nodiscard]] std::optional<int> comNumber(std::string_view name);

/// The device path that opens port `name`: "COM3", "com3" and "\\.\com3" all give "\\.\COM3",
/// and any other bare device name ("CNCA0") is put under "\\.\" too. A path with a folder or a
/// drive in it is no device name and is returned as it stands.
[[nodiscard]] std::string devicePath(std::string_view name);

}  // namespace korvath::ports::windows
