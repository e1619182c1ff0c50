// korvath-cli: the window's download for scripts and production lines.
//   korvath-cli --port PORT IMAGE      exit 0 "Done!", 1 controller/line failed,
//                                      2 usage/unreadable image/port, 3 image refused
//   korvath-cli --check IMAGE          exit 0 accepted, 2 unreadable, 3 refused
//   korvath-cli --list-ports
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "command_line.h"
#include "help/help_formatter.h"
#include "korvath/version.h"
#include "line/image_check.h"
#include "line/output.h"
#include "line/run.h"
#include "link/clock.h"
#include "platform/escape.h"
#include "platform/platform.h"
#include "platform/stop_signals.h"
#include "ports/system/system_ports.h"

namespace {

using korvath::line::kExitDone;
using korvath::line::kExitUsage;

using korvath::platform::printable;

// What differs by system: Windows numbers its ports itself (COM5 is 5), has no POSIX signals
// and no manual pages; its README.txt is installed beside the programs.
#ifdef _WIN32
constexpr const char* kPortHelp =
    "COM port number (5 opens COM5), port name (COM5), usb:SERIAL or sim[:N]; repeat it to run "
    "up to 64 ports at once";
constexpr const char* kExitSignals =
    "   130 cancelled by Ctrl-C\n"
    "   143 cancelled by Ctrl-Break or by closing the console\n";
constexpr const char* kListedAs = "      the ports, with the COM numbers --port takes\n";
constexpr const char* kPortExample =
    "  korvath-cli --port 5 firmware.shx\n"
    "      download into the controller on COM5\n";
constexpr const char* kMore =
    "README.txt, beside korvath-cli.exe, tells station mode, the log and the JSON events.";
#else
constexpr const char* kPortHelp =
    "Port number (n-th listed port), name, device path, usb:SERIAL or sim[:N]; repeat it to run "
    "up to 64 ports at once";
constexpr const char* kExitSignals =
    "   129 cancelled by SIGHUP (the terminal closed)\n"
    "   130 cancelled by SIGINT (Ctrl-C)\n"
    "   131 cancelled by SIGQUIT\n"
    "   141 standard output closed\n"
    "   143 cancelled by SIGTERM\n";
constexpr const char* kListedAs = "      the ports, numbered as --port takes them\n";
constexpr const char* kPortExample =
    "  korvath-cli --port 1 firmware.shx\n"
    "      download into the controller on port 1\n";
constexpr const char* kMore = "See korvath-cli(1) for station mode, the log and the JSON events.";
#endif

const std::string kFooter =
    std::string(
        // One code a row, the text in a column of its own: a row that wraps continues under
        // its text, at the width of the row's indent and the code's column.
        "Exit status:\n"
        "   0   Done! (with --check: the image was accepted)\n"
        "   1   the controller or the line failed\n"
        "   2   a usage error, an image or log that cannot be read, a port not opened\n"
        "   3   the image was refused\n") +
    kExitSignals +
    "A cancelled download ends after the exchange in flight, with the exit frame.\n"
    "--json also works with --check (one object) and --list-ports (one object a port).\n"
    "\n"
    "Examples:\n"
    "  korvath-cli --list-ports\n" +
    kListedAs + "\n" + kPortExample +
    "\n"
    "  korvath-cli --port sim examples/demo.shx\n"
    "      try it on the simulated controller\n"
    "\n"
    "  korvath-cli --trace --port sim examples/demo.shx\n"
    "      the same, with every frame and reply on standard error\n"
    "\n" +
    kMore;

/// Exit 1 when standard output could not be written, else `code`.
int checkedExit(int code) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return code;
    std::fputs("korvath-cli: standard output could not be written\n", stderr);
    return korvath::line::kExitFailed;
}

int listPorts(bool json) {
    korvath::ports::SystemPorts ports;
    // Each line starts with the number --port takes for it; the simulated ones have none. The
    // names come from the system and the adapters' own descriptors: shown escaped.
    for (const korvath::ports::PortChoice& choice : ports.listChoices()) {
        if (json) {
            using korvath::line::jsonText;
            const nlohmann::json object{
                {"number", choice.number > 0 ? nlohmann::json(choice.number) : nlohmann::json()},
                {"port", jsonText(choice.text)},
                {"description", jsonText(choice.description)},
                {"usb_id", jsonText(choice.usbId)},
                {"serial_number", jsonText(choice.serialNumber)},
                {"maker", jsonText(choice.maker)},
                {"by_id", jsonText(choice.byId)}};
            std::printf("%s\n", object.dump().c_str());
            continue;
        }
        const std::string number = choice.number > 0 ? std::to_string(choice.number) : "";
        std::string line = number;
        line.resize(4, ' ');
        line += printable(choice.text);
        line.resize(std::max<std::size_t>(line.size() + 1, 21), ' ');
        line += printable(choice.description);
        if (!choice.usbId.empty()) line += "  usb " + printable(choice.usbId);
        if (!choice.serialNumber.empty()) line += "  serial " + printable(choice.serialNumber);
        if (!choice.maker.empty()) line += "  maker " + printable(choice.maker);
        if (!choice.byId.empty()) line += "  " + printable(choice.byId);
        std::printf("%s\n", line.c_str());
    }
    return checkedExit(kExitDone);
}

}  // namespace

int main(int argc, char** argv) {
    korvath::platform::failOversizeWrites();
    CLI::App cli{
        "Writes an application image (.SHX) into a controller's external flash through\n"
        "its serial bootloader. The port 'sim' (or sim:2, sim:3) is a built-in simulated\n"
        "controller for trying the tool without hardware.",
        "korvath-cli"};
    cli.set_version_flag("-V,--version", std::string("korvath-cli ") + korvath::kVersionText);
    std::vector<std::string> portTexts;
    std::string imageText;
    bool list = false;
    cli.add_flag("--list-ports", list, "List the serial ports and the simulated controllers");
    auto* portOption = cli.add_option("-p,--port", portTexts, kPortHelp)
                           ->allow_extra_args(false)
                           ->option_text("PORT");
    korvath::line::LineOptions line;
    korvath::cli::addLineOptions(cli, line);
    korvath::line::ConsoleModes modes;
    korvath::cli::addConsoleModes(cli, modes);
    cli.get_option("--log")->option_text("FILE");
    cli.get_option("--tag")->option_text("KEY=VALUE");
    bool check = false;
    auto* checkOption = cli.add_flag(
        "--check", check,
        "Check the image without a controller and print its facts (records, addresses, kind, "
        "models, sha256, line time); exit 0 accepted, 3 refused");
    auto* imageOption = cli.add_option("image", imageText, "S-record image file (.SHX)");
    checkOption->excludes(portOption);
    checkOption->excludes("--list-ports");
    cli.footer(kFooter);
    portOption->excludes("--list-ports");
    imageOption->excludes("--list-ports");
    korvath::help::useHelpLayout(cli);

    try {
        // UTF-8 on every system, so that an image path keeps every letter on Windows too.
        korvath::platform::Utf8Arguments arguments(argc, argv);
        cli.parse(arguments.count(), arguments.values());
    } catch (const CLI::ExtrasError& e) {
        // A mistyped option: name the nearest one the program knows.
        for (const std::string& extra : cli.remaining()) {
            if (extra.rfind("-", 0) != 0) continue;
            const std::string nearest = korvath::cli::nearestOption(extra, cli);
            std::fprintf(stderr, "korvath-cli: unknown option %s%s (see --help)\n",
                         printable(extra).c_str(),
                         nearest.empty() ? "" : ("; did you mean " + nearest + "?").c_str());
            return kExitUsage;
        }
        const int code = cli.exit(e);
        return code == 0 ? kExitDone : kExitUsage;
    } catch (const CLI::ParseError& e) {
        const int code = cli.exit(e);
        return code == 0 ? kExitDone : kExitUsage;
    }
    if (list) return listPorts(line.json);
    if (check) {
        if (imageText.empty()) {
            std::fprintf(stderr, "korvath-cli: --check needs an image file (see --help)\n");
            return kExitUsage;
        }
        std::error_code ec;
        const std::filesystem::path path =
            std::filesystem::absolute(korvath::platform::pathFromUtf8(imageText), ec);
        return checkedExit(korvath::cli::runCheck(
            ec ? korvath::platform::pathFromUtf8(imageText) : path, imageText, stdout, stderr,
            line.json ? korvath::cli::CheckFormat::Json : korvath::cli::CheckFormat::Text));
    }
    if (portTexts.empty() || imageText.empty()) {
        std::fprintf(stderr,
                     "korvath-cli: both --port and an image file are needed (see --help)\n");
        return kExitUsage;
    }

    // From here on Ctrl-C, SIGTERM, SIGHUP, SIGQUIT or a closed output stop the run between two
    // exchanges; the ports are then closed as after any download.
    using korvath::platform::Stream;
    korvath::ports::SystemPorts ports;
    korvath::line::LineSurroundings around{
        .ports = ports,
        .newClock = [] { return std::make_unique<korvath::link::SteadyClock>(); },
        .in = stdin,
        .stop = {},
        .signalNumber = &korvath::platform::SignalWatch::signalNumber,
        .modes = modes};
    // The output is chosen once, for the whole run: events, one port's console, or the board.
    std::unique_ptr<korvath::line::LineOutput> output;
    if (line.json) {
        output = std::make_unique<korvath::line::EventOutput>(portTexts, stdout, stderr);
    } else {
        // The progress line redraws itself with \r and ESC [K, which a Windows console obeys
        // only when asked to.
        const bool controls =
            modes.barAllowed() && korvath::platform::enableTerminalControls(Stream::Error);
        const korvath::platform::TerminalSize size =
            korvath::platform::terminalSize(stderr).value_or(korvath::platform::TerminalSize{});
        if (portTexts.size() == 1) {
            output = std::make_unique<korvath::line::ConsoleOutput>(
                portTexts.front(), stdout, stderr, stdin, controls,
                !line.station && korvath::platform::isTerminal(Stream::Input),
                around.stop.get_token(), line.station);
        } else {
            output = std::make_unique<korvath::line::BoardOutput>(
                portTexts, stdout, stderr, controls, size.columns, size.rows);
        }
    }

    std::error_code ec;
    const std::filesystem::path image =
        std::filesystem::absolute(korvath::platform::pathFromUtf8(imageText), ec);
    // The image is read before the port is touched, once: a typing error in the file name costs
    // nothing on the line, and the download sends these very bytes. A file too long is left to
    // the download to refuse, as the window does.
    korvath::image::ImageRead read =
        ec ? korvath::image::ImageRead{} : korvath::image::readImage(image);
    const std::string unreadable = korvath::line::unreadableReason(read);
    if (ec || !unreadable.empty()) {
        output->refused({.exit = kExitUsage,
                         .result = "Image not read",
                         .reason = "image " + imageText + " " + (ec ? ec.message() : unreadable),
                         .line = 0,
                         .tags = {}});
        return kExitUsage;
    }
    korvath::platform::SignalWatch signalWatch(around.stop);
    return korvath::line::runLine(portTexts, image, std::move(read), line, around, *output);
}
