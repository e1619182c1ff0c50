// Names from outside (image paths, port names, serial numbers) shown safely. A name may carry
// anything a file system allows: a line break that fakes a second output line, an escape
// sequence that rewrites the terminal, bytes that are no UTF-8 at all.
#pragma once

#include <string>
#include <string_view>

namespace korvath::platform {

/// `text` for a terminal or a text line: control characters (C0, DEL and C1), the characters
/// that reverse the direction of text, and bytes that are not UTF-8 are shown as escapes ("\n",
/// "\r", "\t", "\x1b", "\xff"); everything else, backslashes included, stays as it is.
[[nodiscard]] std::string printable(std::string_view text);

/// `bytes` as valid UTF-8 for JSON: the bytes that are not UTF-8 become "\xHH" text, one per
/// byte, so that two names differing only there still differ; valid UTF-8 stays as it is.
[[nodiscard]] std::string visibleUtf8(std::string_view bytes);

}  // namespace korvath::platform
