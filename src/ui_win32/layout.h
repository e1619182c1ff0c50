// Where the Win32 window and its controls go: the controls as the window's design places them
// (window/layout.h), turned into pixels at the monitor's dpi, and the window itself on its
// monitor. Plain C++, so that it is tested without a window.
#pragma once

#include <optional>

#include "window/layout.h"

namespace korvath::ui_win32 {

// The design's names, as the Win32 face and its tests spell them.
using window::clientHeightWithDetails;
using window::Control;
using window::kControlCount;
using window::kFontPixelsAt96;
using window::Layout;
using window::layoutAt;
using window::Rect;
using window::scaled;

struct Point {
    int x = 0;
    int y = 0;
    bool operator==(const Point&) const = default;
};

/// Where a window of `width` x `height` (its frame) opens in the work area `work` of a monitor:
/// at `remembered`, the top left the user left it at, moved in as far as needed for the whole
/// window to be on the monitor (a smaller monitor, a taskbar moved); without a remembered place,
/// centred. A window larger than the work area keeps its title bar on it.
[[nodiscard]] Point windowPlace(std::optional<Point> remembered, int width, int height,
                                const Rect& work);

/// How far down a single line of `textHeight` pixels starts so that it sits in the middle of a
/// box `boxHeight` high; never above the top.
[[nodiscard]] constexpr int centredTop(int boxHeight, int textHeight) {
    return boxHeight > textHeight ? (boxHeight - textHeight) / 2 : 0;
}

}  // namespace korvath::ui_win32
