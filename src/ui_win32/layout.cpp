#include "ui_win32/layout.h"

#include <algorithm>

namespace korvath::ui_win32 {

Point windowPlace(std::optional<Point> remembered, int width, int height, const Rect& work) {
    // Along one axis: the wanted start, moved in so that the window's far end is on the work
    // area, then so that its near end (the title bar, the system menu) is.
    const auto within = [](int wanted, int size, int start, int length) {
        return std::max(std::min(wanted, start + length - size), start);
    };
    if (remembered) {
        return {within(remembered->x, width, work.left, work.width),
                within(remembered->y, height, work.top, work.height)};
    }
    return {within(work.left + (work.width - width) / 2, width, work.left, work.width),
            within(work.top + (work.height - height) / 2, height, work.top, work.height)};
}

}  // namespace korvath::ui_win32
