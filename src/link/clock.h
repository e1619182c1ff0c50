// Time as the device link sees it: a monotonic millisecond tick and a blocking pause.
// Production code uses SteadyClock; tests pass a virtual clock that moves only when waited on.
#pragma once

#include <stop_token>

namespace korvath::link {

class Clock {
  public:
    virtual ~Clock() = default;

    /// Monotonic milliseconds since an arbitrary origin, with sub-millisecond resolution.
    [[nodiscard]] virtual double nowMs() = 0;

    /// Blocks the calling thread for `ms` milliseconds; zero or less returns at once.
    virtual void sleepMs(double ms) = 0;

    /// A pause that a stop request ends early, so that a cancelled download does not sit out a
    /// pause of seconds. False when it ended early (or `stop` was already requested). Clocks
    /// whose pauses cost no real time need not override it.
    virtual bool pauseMs(double ms, const std::stop_token& stop) {
        if (stop.stop_requested()) return false;
        sleepMs(ms);
        return !stop.stop_requested();
    }
};

/// The wall clock: std::chrono::steady_clock and the platform's precise sleep.
class SteadyClock final : public Clock {
  public:
    [[nodiscard]] double nowMs() override;
    void sleepMs(double ms) override;
    /// Waits on the stop request itself: no polling.
    bool pauseMs(double ms, const std::stop_token& stop) override;
};

}  // namespace korvath::link
