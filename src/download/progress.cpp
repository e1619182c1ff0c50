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

    if (min) state_.min = *min;
    if (max) state_.max = *max;
    // Clamped against max only; min is never consulted, so a negative step can go below it.
    if (value) state_.value = state_.max >= *value ? *value : state_.max;
    if (step) {
        const int next = state_.value + *step;
        state_.value = state_.max >= next ? next : state_.max;
    }
    return state_;
}

}  // namespace korvath::download
