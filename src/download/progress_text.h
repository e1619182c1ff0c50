// The words for where a download stands, shared by the command line's progress line and the
// window's progress tool tip, and what to check when no controller answered, so both say the same.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "download/observer.h"

namespace korvath::download {

/// "mm:ss", or "h:mm:ss" from an hour on; a negative time reads as 00:00.
[[nodiscard]] std::string formatDuration(double seconds);

/// The phase's own count in words: "Connecting: probe 3 of 50", "Password: round 2 of 50",
/// "Erasing: sector 1 of 8", "Resetting: 4 of 8 s". Empty for records, which each front end
/// words with its times, and when nothing is counted.
[[nodiscard]] std::string phaseStepText(Count count, int step, int steps);

/// The time the records still to go take at the pace so far; none before the first record or
/// when the count is past its end.
[[nodiscard]] std::optional<double> secondsLeft(int step, int steps, double elapsedSeconds);

/// What to check when no controller answered. The last point, which port is the controller's,
/// each front end words itself: it knows where its ports are listed.
inline constexpr std::array<std::string_view, 3> kConnectionChecks{
    "the controller is powered", "the cable is plugged in at both ends",
    "the programming card is in the controller"};

}  // namespace korvath::download
