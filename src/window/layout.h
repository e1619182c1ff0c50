// The window's design, the same for every face: each control's place (in twips, 1440 to the
// inch), caption, font weight, tool tip and colours, and how the places turn into pixels at a
// given dpi. A face creates its own kind of control for each row and only adds what its
// toolkit needs (styles, tab order).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace korvath::window {

enum class Severity;

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

/// A colour as the design gives it: 24 bits with red in the low byte (0xBBGGRR).
using Colour = std::uint32_t;

inline constexpr Colour kStatusNormalColour = 0xFFFFC0;  // light cyan: progress and success
inline constexpr Colour kStatusErrorColour = 0x8080FF;   // light red: every failure
inline constexpr Colour kBackColour = 0xE0E0E0;          // light grey, behind every control
inline constexpr Colour kPortOpenColour = 0x008000;      // green
inline constexpr Colour kPortClosedColour = 0x0000FF;    // red
inline constexpr Colour kYellow = 0x00FFFF;
inline constexpr Colour kBlack = 0x000000;
inline constexpr Colour kWhite = 0xFFFFFF;

/// The status box's background for a status of `severity`.
[[nodiscard]] Colour statusColour(Severity severity);
/// The line settings' text colour: it tells whether the port is open.
[[nodiscard]] constexpr Colour portColour(bool open) {
    return open ? kPortOpenColour : kPortClosedColour;
}

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    [[nodiscard]] int right() const { return left + width; }
    [[nodiscard]] int bottom() const { return top + height; }
    bool operator==(const Rect&) const = default;
};

/// One control of the design.
struct ControlDesign {
    Control control;
    /// The frame that holds the control; none for a control in the client area itself.
    std::optional<Control> frame;
    /// Relative to the frame's top left when there is one.
    Rect twips;
    /// "&" marks the key that goes with Alt.
    const char* caption = "";
    bool bold = false;
    const char* tip = "";
    /// Colours that are not the toolkit's own; the status box's and the line settings' change
    /// with the state (statusColour, portColour) and start as given here.
    std::optional<Colour> background = std::nullopt;
    std::optional<Colour> text = std::nullopt;
};

/// Every control, frames before what they hold. The details line has no place in the design:
/// it shows below it (layoutAt).
[[nodiscard]] std::span<const ControlDesign> design();
[[nodiscard]] const ControlDesign& designOf(Control control);

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
    /// The client height with the details line hidden; shown, it adds clientHeightWithDetails.
    int clientHeight = 0;

    [[nodiscard]] const Rect& operator[](Control c) const { return controls[static_cast<int>(c)]; }
    /// The control's place relative to its frame, for a toolkit whose controls sit inside
    /// their frames.
    [[nodiscard]] Rect inFrame(Control c) const;
};

/// Every control's place at `dpi`, in client coordinates. The details line gets its left, top
/// and width here; its height is that of the text it shows.
[[nodiscard]] Layout layoutAt(int dpi);

/// The client height with a details line of `textHeight` pixels shown at `dpi`.
[[nodiscard]] int clientHeightWithDetails(const Layout& layout, int textHeight, int dpi);

}  // namespace korvath::window
