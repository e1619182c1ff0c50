// The header rule the file command applies when the user picks an image: the first line must
// begin with "S0". The whole-file checks run later, in the download.
#pragma once

#include <filesystem>

namespace korvath::ui {

/// True when `path` opens and its first line begins with "S0" (exact case). A file that cannot
/// be opened or read, or that holds no line, fails the rule like a wrong header.
[[nodiscard]] bool hasImageHeader(const std::filesystem::path& path);

}  // namespace korvath::ui
