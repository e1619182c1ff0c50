// UTF-8, the program's text, to and from UTF-16, the text of the Win32 calls: the platform's one
// conversion, under the names this face uses.
#pragma once

#include "platform/wide_text.h"

namespace korvath::ui_win32 {

using platform::utf8;
using platform::wide;

}  // namespace korvath::ui_win32
