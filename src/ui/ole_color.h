// The design's colours (window/layout.h, 0xBBGGRR) as Qt colours.
#pragma once

#include <QColor>

#include "window/layout.h"

namespace korvath::ui {

using OleColor = window::Colour;

[[nodiscard]] inline QColor toQColor(OleColor ole) {
    return QColor(static_cast<int>(ole & 0xFF), static_cast<int>((ole >> 8) & 0xFF),
                  static_cast<int>((ole >> 16) & 0xFF));
}

inline constexpr OleColor StatusColorNormal = window::kStatusNormalColour;
inline constexpr OleColor StatusColorError = window::kStatusErrorColour;

}  // namespace korvath::ui
