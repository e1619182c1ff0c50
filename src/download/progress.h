// The progress bar's arithmetic (Min, Max, Value in single precision, clamped against Max only),
// kept here so that the window and the command line only draw what it says.
#pragma once

#include <optional>

#include "download/observer.h"

namespace korvath::download {

/// Arguments of one UpdateProgress call; each is optional and applied in the order
/// min, max, value, step. Values outside -32768..32767 raise LinkError Overflow.
struct ProgressUpdate {
    std::optional<int> value{};
    std::optional<int> step{};
    std::optional<int> min{};
    std::optional<int> max{};
};

class ProgressModel {
  public:
    /// Applies `update` and returns the new state.
    const ProgressState& apply(const ProgressUpdate& update);
    [[nodiscard]] const ProgressState& state() const { return state_; }

  private:
    ProgressState state_{};
};

}  // namespace korvath::download
