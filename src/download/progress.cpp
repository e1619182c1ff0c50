#include "download/progress.h"

#include <cstdint>
#include <limits>

namespace korvath::download {

namespace {

bool fitsInt16(const std::optional<int>& argument) {
    return !argument || (*argument >= std::numeric_limits<std::int16_t>::min() &&
                         *argument <= std::numeric_limits<std::int16_t>::max());
}

}  // namespace

platform::Result<ProgressState> ProgressModel::apply(const ProgressUpdate& update) {
    // Every argument is checked before any is applied, so a refused call leaves the bar as it
    // was.
    if (!fitsInt16(update.min) || !fitsInt16(update.max) || !fitsInt16(update.value) ||
        !fitsInt16(update.step)) {
        return platform::faultOf(platform::ErrorNumber::Overflow);
    }
    const auto& [value, step, min, max] = update;

    if (min) state_.Min = *min;
    if (max) state_.Max = *max;
    // Clamped against Max only; Min is never consulted, so a negative step can go below it.
    if (value) state_.Value = state_.Max >= *value ? *value : state_.Max;
    if (step) {
        const int next = state_.Value + *step;
        state_.Value = state_.Max >= next ? next : state_.Max;
    }
    return state_;
}

}  // namespace korvath::download
