// The production line: several ports at once, station mode, the audit log and JSON events.
// A run with one port and none of these options stays on the plain single download.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audit_log.h"
#include "image/image_file.h"

namespace CLI {
class App;
}

namespace korvath::cli {

inline constexpr std::size_t kMaxPorts = 64;

struct LineOptions {
    bool station = false;
    std::optional<std::string> logPath;  ///< set when --log was given, also when empty
    bool json = false;
    std::vector<std::string> tagTexts;  ///< "KEY=VALUE", from --tag
    bool askSerial = false;
};

/// Adds --station, --log FILE, --json, --tag KEY=VALUE and --ask-serial to `app`, filling
/// `options`.
void addLineOptions(CLI::App& app, LineOptions& options);

/// True when `ports` and `options` ask for more than one plain download.
[[nodiscard]] bool isLineRun(const std::vector<std::string>& ports, const LineOptions& options);

/// Checks the image once, opens the log, then runs one download per port at the same time
/// (each port on its own thread, with its own link), or station mode. Returns the exit code:
/// 0 when every unit ended "Done!", else the highest unit's code; 2 before any port is opened
/// for a usage error or an unwritable log, 3 for a refused image; 128 + the signal for a
/// station or run stopped by SIGINT, SIGTERM, SIGHUP or SIGQUIT (130, 143, 129, 131); 1 when a
/// unit's log line or the output could not be written. With --json every ending, also before
/// any port, is told by a result event.
/// `read` is the image as read from `image`.
int runLine(const std::vector<std::string>& ports, const std::filesystem::path& image,
            image::ImageRead read, const LineOptions& options);

}  // namespace korvath::cli
