#include "line/station.h"

namespace korvath::line {

void runStation(link::Link& link, std::stop_token stop, StationPort& port) {
    using download::Severity;
    bool present = false;  // the unit `unit` answered and waits for its download
    for (int unit = 1;; ++unit) {
        if (!present) {
            port.showStatus(
                unit,
                unit == 1 ? station_text::WaitingForController : station_text::WaitingForNextUnit,
                Severity::Normal);
            if (!waitForController(link, stop, [&] { port.reopen(); })) return;
        }
        if (stop.stop_requested()) {
            port.recordNotProgrammed(unit);
            return;
        }
        const download::ResetHeard heard = port.download(unit);
        present = heard == download::ResetHeard::NextUnit;
        if (present) continue;
        if (stop.stop_requested()) return;
        port.showStatus(unit, station_text::RemoveUnit, Severity::Normal);
        // Fallen silent in its reset wait, the unit has left already: what answers now is new.
        if (heard == download::ResetHeard::Silence) continue;
        const bool gone = waitUntilGone(link, stop, [&] {
            port.showStatus(unit, station_text::UnitKeepsCard, Severity::Error);
        });
        if (!gone) return;
    }
}

}  // namespace korvath::line
