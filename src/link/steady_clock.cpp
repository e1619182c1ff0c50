#include <chrono>

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

}  // namespace korvath::link
