// A clock for tests: time moves only when the code under test sleeps or waits on a fake port,
// so fifty 5-second time-outs take microseconds. It also catches busy waiting.
#pragma once

#include <cstddef>
#include <vector>

#include "link/clock.h"

namespace korvath::test {

class VirtualClock final : public link::Clock {
  public:
    /// Reading the time many times without it moving means the code polls instead of waiting:
    /// after this many reads in a row, nowMs() throws std::logic_error.
    static constexpr std::size_t kSpinLimit = 100000;

    [[nodiscard]] double nowMs() override;
    void sleepMs(double ms) override;

    /// Moves time forward to `ms` (never backwards); used by fake ports while waiting.
    void advanceTo(double ms);
    void advanceBy(double ms) { advanceTo(now_ + ms); }

    /// Every pause taken through sleepMs, in order.
    [[nodiscard]] const std::vector<double>& sleeps() const { return sleeps_; }
    [[nodiscard]] double now() const { return now_; }

  private:
    double now_ = 1000.0;
    std::size_t readsWithoutProgress_ = 0;
    std::vector<double> sleeps_;
};

}  // namespace korvath::test
