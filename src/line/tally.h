// The tally of a run: units passed and failed per port, their times, the highest exit code, and
// the table the console shows of it at the end.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "line/audit_log.h"
#include "line/image_check.h"
#include "line/json_observer.h"

namespace korvath::line {

struct PortTally {
    int passed = 0;
    int failed = 0;
    double seconds = 0;      ///< all units together
    std::string verdict;     ///< the last unit's result
    double lastSeconds = 0;  ///< the last unit's time
    int exit = kExitDone;    ///< the highest unit code
};

/// Each port's thread counts into its own entry only.
class LineTally {
  public:
    LineTally(std::vector<std::string> ports, bool station)
        : ports_(std::move(ports)), station_(station), tallies_(ports_.size()) {}

    /// Counts unit `record` of port `port`: passed when it exited 0.
    void count(std::size_t port, const UnitRecord& record);
    /// Unit `record`, just counted, was flashed but not recorded: it failed, with `exit`.
    void notRecorded(std::size_t port, const UnitRecord& record, int exit);
    /// Port `port` ends with at least `exit`; `verdict`, when given, is its result.
    void raise(std::size_t port, int exit, std::string verdict = {});

    /// The run's result from every port's: the highest code, "Done!" or "Failed", the counts.
    [[nodiscard]] RunResult result(Tags tags) const;
    /// The table: in station mode units passed, failed and the mean time per port, then the
    /// station's totals; otherwise each port's verdict and time.
    [[nodiscard]] std::string table() const;

  private:
    std::vector<std::string> ports_;
    bool station_;
    std::vector<PortTally> tallies_;
};

}  // namespace korvath::line
