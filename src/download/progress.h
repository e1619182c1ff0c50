// The progress bar's arithmetic (min, max and value as whole 16-bit numbers, clamped against max
// only), kept here so that the window and the command line only draw what it says.
#pragma once

#include <optional>

#include "platform/fault.h"

namespace korvath::download {

/// The progress bar's three properties, as UpdateProgress leaves them.
struct ProgressState {
    int min = 0;
    int max = 10;
    int value = 0;
};

/// Arguments of one UpdateProgress call; each is optional and applied in the order
/// min, max, value, step. Values outside -32768..32767 are refused as Overflow.
struct ProgressUpdate {
    std::optional<int> value{};
    std::optional<int> step{};
    std::optional<int> min{};
    std::optional<int> max{};
};

class ProgressModel {
  public:
    /// Applies `update` and returns the new state; an argument outside 16 bits is refused as
    /// Overflow and leaves the state as it was.
    [[nodiscard]] platform::Result<ProgressState> apply(const ProgressUpdate& update);
    [[nodiscard]] const ProgressState& state() const { return state_; }

  private:
    ProgressState state_{};
};

}  // namespace korvath::download
