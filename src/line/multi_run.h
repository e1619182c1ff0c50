// Every download of korvath-cli: one port, several ports at once, station mode, the audit log and
// JSON events. A run with one port and none of the line's options is a line of one whose output
// is the plain console's.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "line/audit_log.h"
#include "line/console_modes.h"
#include "link/clock.h"
#include "platform/platform.h"
#include "ports/port_opener.h"

namespace korvath::line {

inline constexpr std::size_t kMaxPorts = 64;

struct LineOptions {
    bool station = false;
    std::optional<std::string> logPath{};  ///< set when --log was given, also when empty
    bool json = false;
    std::vector<std::string> tagTexts{};  ///< "KEY=VALUE", from --tag
    bool askSerial = false;
    bool skipErased = false;  ///< every download of the run leaves out erased-state records
};

/// True when `ports` and `options` ask for more than one plain download.
[[nodiscard]] bool isLineRun(const std::vector<std::string>& ports, const LineOptions& options);

/// What a run reaches outside itself: the program passes the system's, tests their own.
struct LineSurroundings {
    ports::PortOpener& ports;
    /// A clock for each port's thread; the port and its link wait on it.
    std::function<std::unique_ptr<link::Clock>()> newClock;
    std::FILE* out;
    std::FILE* err;
    std::FILE* in;
    /// Standard error obeys \r and ESC [K; standard input is a keyboard.
    bool errorControls = false;
    bool keyboard = false;
    platform::TerminalSize size{};
    /// Requested by a stop signal or by the run itself; `signalNumber` names the signal (0: none).
    std::stop_source stop;
    std::function<int()> signalNumber;
    ConsoleModes modes{};
    /// How long a unit's log line waits for another program's lock on the log.
    double logLockBoundMs = 10000;
};

/// Checks the image once, opens the log, then runs one download per port at the same time
/// (each port on its own thread, with its own link), or station mode. A plain run of one port
/// keeps the console's output; its refused image ends with the refusal's status on `out`.
/// Returns the exit code:
/// 0 when every unit ended "Done!", else the highest unit's code; 2 before any port is opened
/// for a usage error or an unwritable log, 3 for a refused image; 128 + the signal for a
/// station or run stopped by SIGINT, SIGTERM, SIGHUP or SIGQUIT (130, 143, 129, 131); 1 when a
/// unit's log line or the output could not be written. With --json every ending, also before
/// any port, is told by a result event.
/// `read` is the image as read from `image`.
int runLine(const std::vector<std::string>& ports, const std::filesystem::path& image,
            image::ImageRead read, const LineOptions& options, LineSurroundings& around);

}  // namespace korvath::line
