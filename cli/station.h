// Station mode's waits on one port: for a controller to answer, and for it to leave (restarted
// into its application, or unplugged). A probe goes out once a second until the answer changes
// or a stop is requested.
#pragma once

#include <stop_token>

#include "link/link.h"

namespace korvath::cli {

inline constexpr double kProbeIntervalMs = 1000;

/// Calls `done` once a second on the link's clock until it returns true (true) or a stop is
/// requested (false); the pause between calls is what is left of the second.
template <typename Done>
bool probeEachSecondUntil(link::Link& link, std::stop_token stop, Done&& done) {
    while (!stop.stop_requested()) {
        const double started = link.clock().nowMs();
        if (done()) return true;
        if (!link.clock().pauseMs(kProbeIntervalMs - (link.clock().nowMs() - started), stop))
            return false;
    }
    return false;
}

/// Probes once a second, without limit, until a controller answers (true) or a stop is
/// requested (false). `reopen` is called before each probe while the port is closed (an adapter
/// that was unplugged) and may bring it back.
template <typename Reopen>
bool waitForController(link::Link& link, std::stop_token stop, Reopen&& reopen) {
    return probeEachSecondUntil(link, stop, [&] {
        if (!link.port().isOpen()) reopen();
        return link.port().isOpen() && link.probe();
    });
}

/// Probes once a second until the controller no longer answers (true) or a stop is requested
/// (false). A closed port counts as gone.
inline bool waitUntilGone(link::Link& link, std::stop_token stop) {
    return probeEachSecondUntil(link, stop, [&] { return !link.port().isOpen() || !link.probe(); });
}

}  // namespace korvath::cli
