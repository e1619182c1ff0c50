// The unit worker: one port's part of a run on its own thread. It opens the port, runs each
// unit's download, waits between units in station mode (the port may come and go), asks for
// serial numbers, and records every unit in the log, the tally and the sink.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "line/output.h"
#include "line/output_check.h"
#include "line/plan.h"
#include "line/tally.h"
#include "link/link.h"

namespace korvath::line {

/// The serial numbers typed (or scanned) on standard input, one question at a time. An answer
/// may name its port ("PORT=SERIAL"): it then goes to that port whichever asked.
class SerialPrompt {
  public:
    SerialPrompt(const std::vector<std::string>& ports, std::FILE* in, LineOutput& output)
        : ports_(ports), in_(in), output_(output), answered_(ports.size()) {}

    /// Port `index`'s serial number; nothing when the input ended or `stop` was requested.
    [[nodiscard]] std::optional<std::string> ask(std::size_t index, const std::stop_token& stop);

  private:
    const std::vector<std::string>& ports_;
    std::FILE* in_;
    LineOutput& output_;
    std::mutex mutex_;
    /// Serial numbers answered for a port before it asked.
    std::vector<std::optional<std::string>> answered_;
};

/// What the workers of one run share.
struct LineRunState {
    LineRunState(const LinePlan& plan, LineSurroundings& around, LineOutput& output)
        : plan(plan),
          around(around),
          output(output),
          stop(around.stop),
          checked(stop, output.out(), output.err()),
          tally(plan.ports, plan.options.station),
          prompt(plan.ports, around.in, output) {}

    const LinePlan& plan;
    LineSurroundings& around;
    LineOutput& output;
    std::stop_source stop;
    /// The station's waits end on a stop too, and also when a unit's line could not be
    /// written: then no further unit is started on any port, while downloads in flight finish.
    std::stop_source waits;
    std::stop_callback<std::function<void()>> waitsFollowStop{stop.get_token(),
                                                              [this] { waits.request_stop(); }};
    OutputCheck checked;
    LineTally tally;
    SerialPrompt prompt;
    /// The system's port list is read while opening; one port at a time keeps that simple.
    std::mutex openMutex;
};

class UnitWorker {
  public:
    UnitWorker(LineRunState& run, std::size_t index) : run_(run), index_(index) {}

    /// Opens the port and downloads its unit, or in station mode one unit after another until
    /// a stop.
    void work();

  private:
    class Station;

    /// One download on `link`; the record goes to the log, the tally and the sink. In station
    /// mode the reset wait watches for the next unit; returns what it heard.
    download::ResetHeard runUnit(link::Link& link, std::optional<int> unit);
    /// A unit that answered but whose download never began: "Not programmed", failed.
    void recordNotProgrammed(int unit);
    void keep(const UnitRecord& record);
    platform::Result<ports::OpenedPort> openPort(link::Clock& clock);
    void note(const std::string& text);
    /// The record the controller refused, when a download ended on one.
    [[nodiscard]] std::optional<RefusedRecord> refusedRecord(
        const download::DownloadResult& result) const;
    [[nodiscard]] const std::string& port() const { return run_.plan.ports[index_]; }

    LineRunState& run_;
    std::size_t index_;
};

}  // namespace korvath::line
