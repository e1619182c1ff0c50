// Ctrl-C, SIGTERM, SIGHUP (the terminal went away), SIGQUIT and a closed standard output as a
// stop request: the download then ends at its next exchange boundary, with the exit frame and
// the port closed, instead of dying in the middle of a frame and leaving the controller in
// programming mode. A second such signal ends the program at once; the system releases the
// port then as after any end.
#pragma once

#include <stop_token>
#include <thread>

namespace korvath::platform {

/// While it lives, SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE request a stop of `source`
/// (SIGHUP not when the program was started with it ignored, as nohup does; on Windows: Ctrl-C
/// as SIGINT, Ctrl-Break and closing the console as SIGTERM). On POSIX the handler only writes to a
/// pipe and a thread of its own turns that into the stop request. One object at a time; every
/// download given a token of `source` is cancelled together.
class SignalWatch {
  public:
    /// `closedOutputStops`: SIGPIPE requests the stop too (a program whose output is its work);
    /// otherwise it is ignored.
    explicit SignalWatch(std::stop_source source, bool closedOutputStops = true);
    ~SignalWatch();

    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    /// The signal that requested the stop, 0 while none has.
    [[nodiscard]] static int signalNumber();

  private:
    std::stop_source source_;
    std::thread watcher_;
};

/// The exit code for a run that `signalNumber` stopped: 128 + the signal (130 for SIGINT, 143
/// for SIGTERM, 129 for SIGHUP, 131 for SIGQUIT, 141 for a closed standard output).
[[nodiscard]] int cancelledExitCode(int signalNumber);

}  // namespace korvath::platform
