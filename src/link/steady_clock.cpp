#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "link/clock.h"
#include "platform/platform.h"

namespace korvath::link {

double SteadyClock::nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Not std::this_thread::sleep_for: on Windows that waits whole scheduler ticks, and nothing at
// all below a millisecond, where the reply's quiet wait lives.
void SteadyClock::sleepMs(double ms) {
    platform::sleepFor(ms);
}

bool SteadyClock::pauseMs(double ms, const std::stop_token& stop) {
    if (!stop.stop_possible()) {
        sleepMs(ms);
        return true;
    }
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    // Nothing else wakes it: the wait ends at the time-out or at the stop request.
    woken.wait_for(lock, stop, std::chrono::duration<double, std::milli>(std::max(ms, 0.0)),
                   [] { return false; });
    return !stop.stop_requested();
}

}  // namespace korvath::link
