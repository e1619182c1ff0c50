#include "support/virtual_clock.h"

#include <stdexcept>

namespace korvath::test {

double VirtualClock::nowMs() {
    if (++readsWithoutProgress_ > kSpinLimit) {
        throw std::logic_error("busy wait: the clock was read over and over without waiting");
    }
    return now_;
}

void VirtualClock::sleepMs(double ms) {
    sleeps_.push_back(ms);
    if (ms > 0) advanceTo(now_ + ms);
}

void VirtualClock::advanceTo(double ms) {
    if (ms > now_) {
        now_ = ms;
        readsWithoutProgress_ = 0;
    }
}

}  // namespace korvath::test
