#include "station.h"

#include <chrono>

namespace korvath::cli {

void StopRequest::request(int signal) {
    {
        const std::lock_guard lock(mutex_);
        if (signal_ == 0) signal_ = signal;
    }
    woken_.notify_all();
}

bool StopRequest::requested() const {
    return signal() != 0;
}

int StopRequest::signal() const {
    const std::lock_guard lock(mutex_);
    return signal_;
}

bool StopRequest::pause(double ms) {
    std::unique_lock lock(mutex_);
    if (ms > 0) {
        woken_.wait_for(lock, std::chrono::duration<double, std::milli>(ms),
                        [this] { return signal_ != 0; });
    }
    return signal_ != 0;
}

bool waitUntilGone(link::Link& link, StopRequest& stop) {
    while (!stop.requested()) {
        const double started = link.clock().nowMs();
        if (!link.port().isOpen() || !link.probe()) return true;
        if (stop.pause(kProbeIntervalMs - (link.clock().nowMs() - started))) return false;
    }
    return false;
}

}  // namespace korvath::cli
