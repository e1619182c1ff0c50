#include <chrono>
#include <thread>

#include "link/clock.h"

namespace korvath::link {

double SteadyClock::nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::sleepMs(double ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

}  // namespace korvath::link
