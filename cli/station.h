// Station mode's waits on one port: for a controller to answer, and for it to leave (restarted
// into its application, or unplugged). A probe goes out once a second until the answer changes
// or a stop is requested.
#pragma once

#include <condition_variable>
#include <mutex>

#include "link/link.h"

namespace korvath::cli {

/// A stop asked for by the user (Ctrl-C), seen by every port's thread. Pauses end at once
/// when it comes.
class StopRequest {
  public:
    /// Records `signal` (the first one wins) and wakes every pause.
    void request(int signal);
    [[nodiscard]] bool requested() const;
    /// The signal that asked for the stop; 0 before.
    [[nodiscard]] int signal() const;
    /// Waits `ms` milliseconds or until a stop is requested; true when it was.
    bool pause(double ms);

  private:
    mutable std::mutex mutex_;
    std::condition_variable woken_;
    int signal_ = 0;
};

inline constexpr double kProbeIntervalMs = 1000;

/// Probes once a second, without limit, until a controller answers (true) or a stop is
/// requested (false). `reopen` is called before each probe while the port is closed (an adapter
/// that was unplugged) and may bring it back.
template <typename Reopen>
bool waitForController(link::Link& link, StopRequest& stop, Reopen&& reopen);

/// Probes once a second until the controller no longer answers (true) or a stop is requested
/// (false). A closed port counts as gone.
bool waitUntilGone(link::Link& link, StopRequest& stop);

template <typename Reopen>
bool waitForController(link::Link& link, StopRequest& stop, Reopen&& reopen) {
    while (!stop.requested()) {
        const double started = link.clock().nowMs();
        if (!link.port().isOpen()) reopen();
        if (link.port().isOpen() && link.probe()) return true;
        if (stop.pause(kProbeIntervalMs - (link.clock().nowMs() - started))) return false;
    }
    return false;
}

}  // namespace korvath::cli
