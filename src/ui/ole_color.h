// Colours as the window's design gives them: 24-bit values with red in the low byte (0xBBGGRR).
#pragma once

#include <cstdint>

#include <QColor>

namespace korvath::ui {

[[nodiscard]] inline QColor toQColor(std::uint32_t ole) {
    return QColor(static_cast<int>(ole & 0xFF), static_cast<int>((ole >> 8) & 0xFF),
                  static_cast<int>((ole >> 16) & 0xFF));
}

inline constexpr std::uint32_t kBackColor = 0xE0E0E0;        // light grey
inline constexpr std::uint32_t kPortOpenColor = 0x008000;    // green
inline constexpr std::uint32_t kPortClosedColor = 0x0000FF;  // red
inline constexpr std::uint32_t kYellow = 0x00FFFF;
inline constexpr std::uint32_t kBlack = 0x000000;
inline constexpr std::uint32_t kWhite = 0xFFFFFF;

}  // namespace korvath::ui
