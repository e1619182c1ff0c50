// The plan of a run of the line: which ports, with which options and tags, the image read and
// checked once, and the log opened; everything refused before any port is opened is refused here.
#pragma once

#include <cstddef>
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
#include "line/image_check.h"
#include "line/json_observer.h"
#include "link/clock.h"
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

/// What a run reaches outside itself: the program passes the system's, tests their own.
struct LineSurroundings {
    ports::PortOpener& ports;
    /// A clock for each port's thread; the port and its link wait on it.
    std::function<std::unique_ptr<link::Clock>()> newClock;
    /// Where the answers to --ask-serial are read.
    std::FILE* in;
    /// Requested by a stop signal or by the run itself; `signalNumber` names the signal (0: none).
    std::stop_source stop;
    std::function<int()> signalNumber;
    ConsoleModes modes{};
    /// How long a unit's log line waits for another program's lock on the log.
    double logLockBoundMs = 10000;
};

/// True when `ports` and `options` ask for more than one plain download.
[[nodiscard]] bool isLineRun(const std::vector<std::string>& ports, const LineOptions& options);

/// Empty when every text of `texts` names a port of its own; else why not, for the user. Two
/// texts for one device (a link, another name of the same node) would open one controller twice.
[[nodiscard]] std::string portTextProblem(const std::vector<std::string>& texts,
                                          ports::PortOpener& opener);

/// A run that may start: nothing of it has touched a port yet.
struct LinePlan {
    std::vector<std::string> ports;
    std::filesystem::path image;
    CheckedImage checked;
    LineOptions options;
    Tags tags;
    std::unique_ptr<AuditLog> log;  ///< null without --log
    bool plain = false;             ///< one port, none of the line's options: the console's output
    std::string host;
    std::string runId;

    /// The record's fields that every unit of port `index` shares.
    [[nodiscard]] UnitRecord recordFor(std::size_t index, std::optional<int> unit) const;
};

/// The plan, or why the run cannot start (`refusal`, with its exit code, result and reason;
/// `plainStatus` is the status a plain run still shows on standard output, when any).
struct Planned {
    std::optional<LinePlan> plan;
    RunResult refusal{};
    std::optional<std::string> plainStatus{};
};

/// Checks the tags, the number of ports and their texts, reads nothing again but checks `read`
/// (the image as read from `image`) once by the rules every model shares, and opens the log.
[[nodiscard]] Planned planLine(const std::vector<std::string>& ports,
                               const std::filesystem::path& image, image::ImageRead read,
                               const LineOptions& options, ports::PortOpener& opener);

}  // namespace korvath::line
