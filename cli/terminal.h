// The width of the terminal a stream writes to, so that a progress line never wraps.
#pragma once

#include <cstdio>

namespace korvath::cli {

/// Columns of the terminal behind `stream`; `fallback` when it is no terminal or does not say.
[[nodiscard]] int terminalColumns(std::FILE* stream, int fallback = 80);

}  // namespace korvath::cli
