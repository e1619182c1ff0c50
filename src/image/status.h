// The status box as the image and download layers see it: one message and its background colour.
// The window and the command line implement StatusSink; nothing here paints or prints.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvath::image {

/// Colours are 24-bit values with red in the low byte (0xBBGGRR).
using OleColor = std::uint32_t;

inline constexpr OleColor StatusColorNormal = 0xFFFFC0;   // light cyan: progress and success
inline constexpr OleColor StatusColorError = 0x8080FF;    // light red: every failure

class StatusSink {
public:
    virtual ~StatusSink() = default;
    /// Replaces the status text and its background colour; the last message stays shown.
    virtual void ShowStatus(std::string_view text, OleColor colour) = 0;
};

}  // namespace korvath::image
