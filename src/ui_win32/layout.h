// Where the Win32 window's controls go: the same design as the Linux window, laid out in twips
// (1440 to the inch) and turned into pixels at the monitor's dpi. Plain C++, so that the table
// is tested without a window.
#pragma once

#include <array>
#include <optional>

namespace korvath::ui_win32 {

/// The controls, in tab order first (the port box, its two buttons, the file button, Download),
/// then those that take no input.
enum class Control {
    PortBox,
    OpenPort,
    ClosePort,
    ChooseFile,
    Download,
    StatusFrame,
    Bar,
    Status,
    FileFrame,
    FileName,
    DownloadFrame,
    PortFrame,
    LineSettings,
    PortLabel,
    Details,
};
inline constexpr int kControlCount = static_cast<int>(Control::Details) + 1;

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    [[nodiscard]] int right() const { return left + width; }
    [[nodiscard]] int bottom() const { return top + height; }
    bool operator==(const Rect&) const = default;
};

/// The design's client area: 419 x 146 pixels at 96 dpi, without the details line.
inline constexpr int kClientWidthTwips = 6285;
inline constexpr int kClientHeightTwips = 2190;
/// The design font: 8 points, 11 pixels at 96 dpi.
inline constexpr int kFontPixelsAt96 = 11;
/// Room around the details line, in pixels at 96 dpi.
inline constexpr int kDetailsMarginAt96 = 4;

/// `twips` at `dpi`, rounded to the nearest pixel.
[[nodiscard]] constexpr int pixels(int twips, int dpi) {
    return (twips * dpi + 720) / 1440;
}

/// `px96` pixels at 96 dpi scaled to `dpi`, rounded.
[[nodiscard]] constexpr int scaled(int px96, int dpi) {
    return (px96 * dpi + 48) / 96;
}

struct Layout {
    std::array<Rect, kControlCount> controls{};
    int clientWidth = 0;
    /// The client height with the details line hidden; shown, it adds detailsRoom(height).
    int clientHeight = 0;

    [[nodiscard]] const Rect& operator[](Control c) const { return controls[static_cast<int>(c)]; }
};

/// Every control's place at `dpi`, in client coordinates. The details line gets its left, top
/// and width here; its height is that of the text it shows (detailsHeight).
[[nodiscard]] Layout layoutAt(int dpi);

/// The client height with a details line of `textHeight` pixels shown at `dpi`.
[[nodiscard]] int clientHeightWithDetails(const Layout& layout, int textHeight, int dpi);

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
