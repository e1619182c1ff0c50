// UTF-8, the program's text, to and from UTF-16, the text of the Win32 calls.
#pragma once

#include <string>
#include <string_view>

namespace korvath::ui_win32 {

[[nodiscard]] std::wstring wide(std::string_view utf8);
[[nodiscard]] std::string utf8(std::wstring_view text);

}  // namespace korvath::ui_win32
