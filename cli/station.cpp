#include "station.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace korvath::cli {

bool pauseUnlessStopped(std::stop_token stop, double ms) {
    if (ms > 0 && !stop.stop_requested()) {
        std::mutex mutex;
        std::condition_variable_any woken;
        std::unique_lock lock(mutex);
        woken.wait_for(lock, stop, std::chrono::duration<double, std::milli>(ms),
                       [] { return false; });
    }
    return stop.stop_requested();
}

bool waitUntilGone(link::Link& link, std::stop_token stop) {
    while (!stop.stop_requested()) {
        const double started = link.clock().nowMs();
        if (!link.port().isOpen() || !link.probe()) return true;
        if (pauseUnlessStopped(stop, kProbeIntervalMs - (link.clock().nowMs() - started)))
            return false;
    }
    return false;
}

}  // namespace korvath::cli
