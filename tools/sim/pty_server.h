// Serves a simulated controller on a pseudo-terminal in real time: a client opens the slave
// side like a serial port. Bytes cross at 38400 baud, timed with absolute-time sleeps.
#pragma once

#include <cstdio>
#include <string>

#include "sim/controller.h"
#include "sim/line.h"

namespace korvath::sim {

class PtyServer {
  public:
    enum class Stop {
        Signal,       ///< a stop signal arrived
        InputClosed,  ///< the watched input reached its end
        Unplugged,    ///< the unplug fault closed the line
        Failed,       ///< the pseudo-terminal failed; see error()
    };

    /// `controller` must outlive the server. `log` (may be null) gets one line per request.
    PtyServer(Controller& controller, std::FILE* log);
    ~PtyServer();

    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    /// Creates the pseudo-terminal, both sides raw. Empty on success, else why not.
    [[nodiscard]] std::string open();

    /// The path a client opens, e.g. "/dev/pts/7".
    [[nodiscard]] const std::string& slavePath() const { return slavePath_; }

    /// Serves until `signalFd` (a signalfd) becomes readable, `inputFd` ends (-1: none), the
    /// line is unplugged or the pseudo-terminal fails. A client may close and reopen the slave
    /// any number of times meanwhile.
    Stop run(int signalFd, int inputFd);

    [[nodiscard]] const std::string& error() const { return error_; }

  private:
    void closeAll();
    bool readClient(double nowMs);
    void writeByte(std::uint8_t byte);

    Line line_;
    std::FILE* log_;
    int master_ = -1;
    int slave_ = -1;  // held open so that a client closing its side does not hang the master up
    std::string slavePath_;
    std::string error_;
    double startMs_ = 0;
};

}  // namespace korvath::sim
