// The file names Windows keeps for its devices. Opening "NUL", "COM6" or "C:\logs\aux.jsonl"
// opens a device, not a file: a log written there is lost, an image read there is no image.
// The rule is plain text, the same on every system, so that it is tested everywhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvath::platform::windows {

/// The device that `path` names when Windows reads it as one: the reserved name in capitals
/// ("NUL" for "nul", "C:\logs\Nul.txt" or "nul .jsonl") when the path's last part is CON, PRN,
/// AUX, NUL, CONIN$, CONOUT$, COM1-COM9 or LPT1-LPT9 (with ¹²³ as digits too), in any letter
/// case and folder, with or without an extension or a closing ':'; the path itself for the
/// device namespace ("\\.\COM12", "\\.\pipe\name"). None for any other path.
[[nodiscard]] std::optional<std::string> reservedDeviceName(std::string_view path);

}  // namespace korvath::platform::windows
