// Serves simulated controllers on pseudo-terminals in real time: a client opens a slave side
// like a serial port. Bytes cross at 38400 baud; the server sleeps once per event a client can
// see (a reply byte leaving, babble, the unplug, the next unit), never once per byte.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/line.h"

namespace korvath::sim {

/// Successive units on one port: each restart (exit frame) takes its unit away for good, and a
/// fresh unit with erased flash answers `gapMs` later, until `count` units have come.
struct UnitPlan {
    int count = 1;
    double gapMs = 2000.0;
};

/// What tells one unit from the others of a run in dump names and log lines: "P" (the port's
/// 1-based number) with several ports, "U" (the unit's) with several units, "P.U" with both,
/// and empty with one of each.
[[nodiscard]] std::string unitTag(int port, int ports, int unit, int units);

class PtyServer {
  public:
    /// Called with a unit that has left (restarted, then replaced) and its tag (see unitTag).
    using UnitDone = std::function<void(const Controller&, const std::string& tag)>;

    /// Port `port` (1-based) of `ports` in the run. `log` (may be null) gets one line per
    /// request, times measured from `epochMs` on the monotonic clock, led by the unit's tag
    /// when it has one. Throws std::invalid_argument when checkOptions() refuses `options`.
    PtyServer(const Options& options, UnitPlan units, int port, int ports, std::FILE* log,
              double epochMs);
    ~PtyServer();

    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    /// Creates the pseudo-terminal, both sides raw; else why not.
    [[nodiscard]] korvath::platform::Result<void> open();

    /// The path a client opens, e.g. "/dev/pts/7".
    [[nodiscard]] const std::string& slavePath() const { return slavePath_; }

    void setUnitDone(UnitDone done) { unitDone_ = std::move(done); }
    /// Plays a USB adapter's latency timer: the controller's bytes reach the pseudo-terminal
    /// only at whole multiples of `ms` on the monotonic clock (0, the default: at once).
    void setUsbLatencyMs(double ms) { usbLatencyMs_ = ms; }
    /// The unit on the line now, its 1-based number and its tag.
    [[nodiscard]] const Controller& controller() const { return *controller_; }
    [[nodiscard]] int unit() const { return unit_; }
    [[nodiscard]] std::string tag() const { return unitTag(port_, ports_, unit_, units_.count); }

    /// The master side to poll for client bytes; -1 once closed.
    [[nodiscard]] int fd() const { return master_; }
    /// When the server must run next without client input; empty when only input can wake it.
    [[nodiscard]] std::optional<double> nextWakeMs() const;
    /// Reads what the client sent when `readable`, then runs the line and the unit change-over
    /// up to `nowMs`. False once the server has stopped: unplugged (closed) or failed (fault()).
    bool service(double nowMs, bool readable);

    [[nodiscard]] bool unplugged() const { return unplugged_; }
    [[nodiscard]] const platform::Fault& fault() const { return fault_; }

  private:
    void startUnit();
    void onResponse(const Response& response, double requestEndMs);
    void closeAll();
    bool readClient(double nowMs);
    void flushReply();
    void handOver(double nowMs);

    Options options_;
    UnitPlan units_;
    int port_;
    int ports_;
    std::FILE* log_;
    double epochMs_;
    std::unique_ptr<Controller> controller_;
    std::unique_ptr<Line> line_;
    int unit_ = 0;
    std::optional<double> nextUnitAtMs_;
    UnitDone unitDone_;
    std::vector<std::uint8_t> reply_;
    double usbLatencyMs_ = 0;
    std::optional<double> handOverAtMs_;  ///< the latency tick that hands reply_ over
    int master_ = -1;
    int slave_ = -1;  // held open so that a client closing its side does not hang the master up
    std::string slavePath_;
    platform::Fault fault_;
    bool unplugged_ = false;
};

/// Why serve() returned.
enum class ServeStop {
    Signal,       ///< a stop signal arrived
    InputClosed,  ///< the watched input reached its end
    Unplugged,    ///< every line was closed by the unplug fault
};

/// Serves every server in one thread until `signalFd` (a signalfd) becomes readable,
/// `inputFd` ends (-1: none), every line is unplugged, or a pseudo-terminal fails (the fault
/// names which port and why). Clients may close and reopen their slaves any number of times
/// meanwhile.
platform::Result<ServeStop> serve(std::span<PtyServer* const> servers, int signalFd, int inputFd);

/// The monotonic clock in milliseconds, the time base of the servers.
[[nodiscard]] double monotonicMs();

}  // namespace korvath::sim
