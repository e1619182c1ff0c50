// Text between this program's UTF-8 and the UTF-16 that the Windows calls take and give: the one
// conversion every Windows file uses. Only the Windows build has it (windows.cpp).
#pragma once

#include <string>
#include <string_view>

namespace korvath::platform {

/// `text` (UTF-8) as UTF-16; what is no UTF-8 becomes U+FFFD, as the system converts it.
[[nodiscard]] std::wstring wide(std::string_view text);

/// `text` (UTF-16) as UTF-8, up to its end or its first null character, whichever comes first.
[[nodiscard]] std::string utf8(std::wstring_view text);

}  // namespace korvath::platform
