// Colours as the window's design gives them: 24-bit values with red in the low byte (0xBBGGRR).
#pragma once

#include <cstdint>

#include <QColor>

namespace korvath::ui {

using OleColor = std::uint32_t;

[[nodiscard]] inline QColor toQColor(OleColor ole) {
    return QColor(static_cast<int>(ole & 0xFF), static_cast<int>((ole >> 8) & 0xFF),
                  static_cast<int>((ole >> 16) & 0xFF));
}

inline constexpr OleColor StatusColorNormal = 0xFFFFC0;  // light cyan: progress and success
inline constexpr OleColor StatusColorError = 0x8080FF;   // light red: every failure

inline constexpr OleColor kBackColor = 0xE0E0E0;        // light grey
inline constexpr OleColor kPortOpenColor = 0x008000;    // green
inline constexpr OleColor kPortClosedColor = 0x0000FF;  // red
inline constexpr OleColor kYellow = 0x00FFFF;
inline constexpr OleColor kBlack = 0x000000;
inline constexpr OleColor kWhite = 0xFFFFFF;

}  // namespace korvath::ui
