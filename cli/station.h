// Station mode's waits on one port: for a controller to answer, and for it to leave (restarted
// into its application, or unplugged). A probe goes out once a second until the answer changes
// or a stop is requested.
#pragma once

#include <stop_token>

#include "link/link.h"

namespace korvath::cli {

/// Waits `ms` milliseconds or until `stop` is requested, whichever comes first; true when a
/// stop was requested.
bool pauseUnlessStopped(std::stop_token stop, double ms);

inline constexpr double kProbeIntervalMs = 1000;

/// Probes once a second, without limit, until a controller answers (true) or a stop is
/// requested (false). `reopen` is called before each probe while the port is closed (an adapter
/// that was unplugged) and may bring it back.
template <typename Reopen>
bool waitForController(link::Link& link, std::stop_token stop, Reopen&& reopen) {
    while (!stop.stop_requested()) {
        const double started = link.clock().nowMs();
        if (!link.port().isOpen()) reopen();
        if (link.port().isOpen() && link.probe()) return true;
        if (pauseUnlessStopped(stop, kProbeIntervalMs - (link.clock().nowMs() - started)))
            return false;
    }
    return false;
}

/// Probes once a second until the controller no longer answers (true) or a stop is requested
/// (false). A closed port counts as gone.
bool waitUntilGone(link::Link& link, std::stop_token stop);

}  // namespace korvath::cli
