// Time as the device link sees it: a monotonic millisecond tick and a blocking pause.
// Production code uses SteadyClock; tests pass a virtual clock that moves only when waited on.
#pragma once

namespace korvath::link {

class Clock {
public:
    virtual ~Clock() = default;

    /// Monotonic milliseconds since an arbitrary origin, with sub-millisecond resolution.
    [[nodiscard]] virtual double nowMs() = 0;

    /// Blocks the calling thread for `ms` milliseconds; zero or less returns at once.
    virtual void sleepMs(double ms) = 0;
};

/// The wall clock: std::chrono::steady_clock and the platform's precise sleep.
class SteadyClock final : public Clock {
public:
    [[nodiscard]] double nowMs() override;
    void sleepMs(double ms) override;
};

}  // namespace korvath::link
