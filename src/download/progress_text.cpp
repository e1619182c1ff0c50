#include "download/progress_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvath::download {

std::string formatDuration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char buffer[32];
    if (total >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, (total / 60) % 60,
                      total % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%02ld:%02ld", total / 60, total % 60);
    }
    return buffer;
}

std::string phaseStepText(Count count, int step, int steps) {
    const std::string of = std::to_string(step) + " of " + std::to_string(steps);
    switch (count) {
        case Count::Probe:
            return "Connecting: probe " + of;
        case Count::PasswordRound:
            return "Password: round " + of;
        case Count::Sector:
            return "Erasing: sector " + of;
        case Count::Second:
            return "Resetting: " + of + " s";
        case Count::Record:
        case Count::None:
            break;
    }
    return {};
}

std::optional<double> secondsLeft(int step, int steps, double elapsedSeconds) {
    if (step <= 0 || step > steps) return std::nullopt;
    return elapsedSeconds / step * (steps - step);
}

}  // namespace korvath::download
