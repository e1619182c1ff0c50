#include "window/layout.h"

#include <stdexcept>

#include "window/window_model.h"

namespace korvath::window {

namespace {

constexpr Control kStatusFrame = Control::StatusFrame;
constexpr Control kFileFrame = Control::FileFrame;
constexpr Control kDownloadFrame = Control::DownloadFrame;
constexpr Control kPortFrame = Control::PortFrame;

constexpr ControlDesign kDesign[] = {
    {Control::StatusFrame, std::nullopt, {60, 60, 4425, 615}, "Status"},
    // The status box takes room from the bar so that the longest status text fits in bold.
    {Control::Bar, kStatusFrame, {120, 220, 1545, 285}},
    {Control::Status, kStatusFrame, {1725, 220, 2610, 285}, "Idle", true, "", kStatusNormalColour},
    {Control::FileFrame, std::nullopt, {60, 705, 4455, 735}, "Filename"},
    {Control::FileName, kFileFrame, {120, 240, 3030, 360}, "", true, "", kBlack, kYellow},
    {Control::ChooseFile, kFileFrame, {3270, 240, 1065, 375}, "O&pen"},
    {Control::DownloadFrame, std::nullopt, {60, 1440, 4455, 735}},
    {Control::Download, kDownloadFrame, {120, 240, 4185, 375}, "&Download", true},
    {Control::PortFrame, std::nullopt, {4560, 60, 1695, 2115}, "COM Control"},
    {Control::LineSettings,
     kPortFrame,
     {300, 195, 1095, 225},
     "38400,N,8",
     true,
     "",
     std::nullopt,
     kPortClosedColour},
    // The port box spans the frame under its label: the drop-down arrow takes room and the end
    // of a device path ("…ttyUSB0", "…pts/12") must fit.
    {Control::PortLabel, kPortFrame, {120, 435, 495, 210}, "CO&M", true},
    {Control::PortBox, kPortFrame, {120, 660, 1455, 285}, "", true, "", kWhite},
    {Control::OpenPort,
     kPortFrame,
     {240, 1080, 1275, 405},
     "&Open",
     false,
     "Open Selected Serial port"},
    {Control::ClosePort,
     kPortFrame,
     {240, 1560, 1275, 405},
     "&Close",
     false,
     "Close opened serial port"},
    {Control::Details, std::nullopt, {}},
};

Rect designTwips(Control control) {
    const ControlDesign& placed = designOf(control);
    Rect r = placed.twips;
    if (placed.frame) {
        const Rect frame = designTwips(*placed.frame);
        r.left += frame.left;
        r.top += frame.top;
    }
    return r;
}

}  // namespace

Colour statusColour(Severity severity) {
    return severity == Severity::Error ? kStatusErrorColour : kStatusNormalColour;
}

std::span<const ControlDesign> design() {
    return kDesign;
}

const ControlDesign& designOf(Control control) {
    for (const ControlDesign& row : kDesign) {
        if (row.control == control) return row;
    }
    throw std::logic_error("a control without a row in the design");
}

Rect Layout::inFrame(Control c) const {
    Rect r = (*this)[c];
    if (const std::optional<Control> frame = designOf(c).frame) {
        r.left -= (*this)[*frame].left;
        r.top -= (*this)[*frame].top;
    }
    return r;
}

Layout layoutAt(int dpi) {
    Layout layout;
    // Edges are rounded, not sizes, so that neighbours designed to touch still touch.
    for (const ControlDesign& placed : kDesign) {
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

}  // namespace korvath::window
