#include "line/tally.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "download/progress_text.h"
#include "platform/escape.h"

namespace korvath::line {

namespace {

template <typename... Args>
std::string formatted(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(std::max(size, 0)) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.pop_back();
    return text;
}

}  // namespace

void LineTally::count(std::size_t port, const UnitRecord& record) {
    PortTally& tally = tallies_[port];
    (record.exit == kExitDone ? tally.passed : tally.failed) += 1;
    tally.seconds += record.seconds;
    tally.lastSeconds = record.seconds;
    tally.verdict = record.result;
    tally.exit = std::max(tally.exit, record.exit);
}

void LineTally::notRecorded(std::size_t port, const UnitRecord& record, int exit) {
    PortTally& tally = tallies_[port];
    if (record.exit == kExitDone) {
        tally.passed -= 1;
        tally.failed += 1;
    }
    tally.exit = std::max(tally.exit, exit);
}

void LineTally::raise(std::size_t port, int exit, std::string verdict) {
    PortTally& tally = tallies_[port];
    tally.exit = std::max(tally.exit, exit);
    if (!verdict.empty()) tally.verdict = std::move(verdict);
}

RunResult LineTally::result(Tags tags) const {
    RunResult result;
    result.tags = std::move(tags);
    for (const PortTally& tally : tallies_) {
        result.exit = std::max(result.exit, tally.exit);
        result.passed += tally.passed;
        result.failed += tally.failed;
    }
    result.result = result.exit == kExitDone ? "Done!" : "Failed";
    return result;
}

std::string LineTally::table() const {
    std::vector<std::string> names;
    for (const std::string& port : ports_) names.push_back(platform::printable(port));
    std::size_t width = 4;
    for (const std::string& name : names) width = std::max(width, name.size());
    const int w = static_cast<int>(width);
    std::string text;
    if (station_) {
        int passed = 0;
        int failed = 0;
        double seconds = 0;
        text += formatted("%-*s  %6s  %6s  %s\n", w, "Port", "Passed", "Failed", "Mean time");
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            const PortTally& t = tallies_[i];
            const int units = t.passed + t.failed;
            text += formatted("%-*s  %6d  %6d  %s\n", w, names[i].c_str(), t.passed, t.failed,
                              units ? download::formatDuration(t.seconds / units).c_str() : "-");
            passed += t.passed;
            failed += t.failed;
            seconds += t.seconds;
        }
        const int units = passed + failed;
        text += formatted("Station: %d units passed, %d failed, mean %.1f s per unit\n", passed,
                          failed, units ? seconds / units : 0.0);
    } else {
        text += formatted("%-*s  %-24s  %s\n", w, "Port", "Verdict", "Time");
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            const PortTally& t = tallies_[i];
            text += formatted("%-*s  %-24s  %s\n", w, names[i].c_str(), t.verdict.c_str(),
                              download::formatDuration(t.lastSeconds).c_str());
        }
    }
    return text;
}

}  // namespace korvath::line
