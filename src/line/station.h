// Station mode on one port: wait for a controller, download, tell the operator to take the
// unit off, wait until it leaves, and again. Units are told apart by silence: a controller
// falls silent when it restarts, so an answer after silence is the next unit.
#pragma once

#include <stop_token>
#include <string_view>

#include "download/downloader.h"
#include "download/observer.h"
#include "link/link.h"

namespace korvath::line {

inline constexpr double kProbeIntervalMs = 1000;
/// A unit still answering this long after it was to be taken off has its programming card in.
inline constexpr double kCardNoticeMs = 10000;

namespace station_text {
inline constexpr std::string_view WaitingForController = "Waiting for controller";
inline constexpr std::string_view RemoveUnit = "Remove the unit";
inline constexpr std::string_view WaitingForNextUnit = "Waiting for the next unit";
inline constexpr std::string_view UnitKeepsCard =
    "The unit still answers: it still has its programming card";
/// The result of a unit that answered but whose download never began.
inline constexpr std::string_view NotProgrammed = "Not programmed";
/// A unit whose log line could not be written: programmed, perhaps, but not recorded.
inline constexpr std::string_view NotRecorded = "Not recorded";
}  // namespace station_text

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
/// (false). A closed port counts as gone. `stillThere` is called once when the controller
/// still answers kCardNoticeMs after the wait began.
template <typename StillThere>
bool waitUntilGone(link::Link& link, std::stop_token stop, StillThere&& stillThere) {
    const double since = link.clock().nowMs();
    bool told = false;
    return probeEachSecondUntil(link, stop, [&] {
        if (!link.port().isOpen() || !link.probe()) return true;
        if (!told && link.clock().nowMs() - since >= kCardNoticeMs) {
            told = true;
            stillThere();
        }
        return false;
    });
}

/// What station mode needs from the program on one port.
class StationPort {
  public:
    virtual ~StationPort() = default;

    /// A status of the port between downloads, concerning unit `unit` (1, 2, ...).
    virtual void showStatus(int unit, std::string_view text, download::Severity severity) = 0;
    /// Runs and records unit `unit`'s download, its reset wait watching every second, and
    /// returns what that wait heard.
    virtual download::ResetHeard download(int unit) = 0;
    /// Records unit `unit`, which answered but whose download never began.
    virtual void recordNotProgrammed(int unit) = 0;
    /// Called once a second while the port is closed; may open it again (on the link).
    virtual void reopen() = 0;
};

/// Runs station mode on `link` until `stop` is requested. Every unit that answered is recorded:
/// downloaded, or (stopped before its download began) as not programmed.
void runStation(link::Link& link, std::stop_token stop, StationPort& port);

}  // namespace korvath::line
