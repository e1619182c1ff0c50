#include "download/progress.h"

#include <cstdint>
#include <limits>

#include "link/link_error.h"

namespace korvath::download {

namespace {

std::optional<int> toInt16(const std::optional<int>& argument) {
    if (!argument) return std::nullopt;
    if (*argument < std::numeric_limits<std::int16_t>::min() ||
        *argument > std::numeric_limits<std::int16_t>::max()) {
        throw link::LinkError(link::ErrorNumber::Overflow);
    }
    return *argument;
}

}  // namespace

const ProgressState& ProgressModel::apply(const ProgressUpdate& update) {
    // Every argument is converted before any is applied, so a refused call leaves the bar as it
    // was.
    const auto min = toInt16(update.min);
    const auto max = toInt16(update.max);
    const auto value = toInt16(update.value);
    const auto step = toInt16(update.step);

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
