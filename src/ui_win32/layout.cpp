#include "ui_win32/layout.h"

#include <algorithm>

namespace korvath::ui_win32 {

namespace {

struct Placed {
    Control control;
    /// Null for a control placed in the client area itself.
    const Control* frame;
    Rect twips;  // relative to the frame's top left when there is one
};

constexpr Control kStatusFrame = Control::StatusFrame;
constexpr Control kFileFrame = Control::FileFrame;
constexpr Control kDownloadFrame = Control::DownloadFrame;
constexpr Control kPortFrame = Control::PortFrame;

// The Linux window's table: frames first, each control relative to its frame.
constexpr Placed kDesign[] = {
    {Control::StatusFrame, nullptr, {60, 60, 4425, 615}},
    {Control::Bar, &kStatusFrame, {120, 220, 1545, 285}},
    {Control::Status, &kStatusFrame, {1725, 220, 2610, 285}},
    {Control::FileFrame, nullptr, {60, 705, 4455, 735}},
    {Control::FileName, &kFileFrame, {120, 240, 3030, 360}},
    {Control::ChooseFile, &kFileFrame, {3270, 240, 1065, 375}},
    {Control::DownloadFrame, nullptr, {60, 1440, 4455, 735}},
    {Control::Download, &kDownloadFrame, {120, 240, 4185, 375}},
    {Control::PortFrame, nullptr, {4560, 60, 1695, 2115}},
    {Control::LineSettings, &kPortFrame, {300, 230, 1095, 315}},
    {Control::PortLabel, &kPortFrame, {120, 645, 495, 255}},
    {Control::PortBox, &kPortFrame, {660, 600, 975, 285}},
    {Control::OpenPort, &kPortFrame, {240, 1080, 1275, 405}},
    {Control::ClosePort, &kPortFrame, {240, 1560, 1275, 405}},
};

Rect designTwips(Control control) {
    for (const Placed& placed : kDesign) {
        if (placed.control != control) continue;
        Rect r = placed.twips;
        if (placed.frame) {
            const Rect frame = designTwips(*placed.frame);
            r.left += frame.left;
            r.top += frame.top;
        }
        return r;
    }
    return {};
}

}  // namespace

Layout layoutAt(int dpi) {
    Layout layout;
    // Edges are rounded, not sizes, so that neighbours designed to touch still touch.
    for (const Placed& placed : kDesign) {
        const Rect t = designTwips(placed.control);
        const int left = pixels(t.left, dpi);
        const int top = pixels(t.top, dpi);
        layout.controls[static_cast<int>(placed.control)] =
            Rect{left, top, pixels(t.right(), dpi) - left, pixels(t.bottom(), dpi) - top};
    }
    layout.clientWidth = pixels(kClientWidthTwips, dpi);
    layout.clientHeight = pixels(kClientHeightTwips, dpi);
    const int margin = scaled(kDetailsMarginAt96, dpi);
    layout.controls[static_cast<int>(Control::Details)] =
        Rect{margin, layout.clientHeight, layout.clientWidth - 2 * margin, 0};
    return layout;
}

int clientHeightWithDetails(const Layout& layout, int textHeight, int dpi) {
    if (textHeight <= 0) return layout.clientHeight;
    return layout.clientHeight + textHeight + scaled(kDetailsMarginAt96, dpi);
}

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
