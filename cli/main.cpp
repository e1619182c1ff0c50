// korvath-cli: the window's download for scripts and production lines.
//   korvath-cli --port PORT IMAGE      exit 0 "Done!", 1 a failure status, 2 usage/image/port
//   korvath-cli --list-ports
#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "console_observer.h"
#include "download/downloader.h"
#include "korvath/version.h"
#include "link/link.h"
#include "multi_run.h"
#include "platform/platform.h"
#include "ports/qt/system_ports.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int listPorts() {
    korvath::ports::SystemPorts ports;
    for (const korvath::ports::PortChoice& choice : ports.listChoices()) {
        std::printf("%-16s %s\n", choice.text.c_str(), choice.description.c_str());
    }
    return kExitDone;
}

// The image is checked for readability before the port is touched, so a typing error in the
// file name costs nothing on the line.
bool imageReadable(const std::filesystem::path& path, std::string& why) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        why = "is a folder, not an image file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = std::filesystem::exists(path, ec) ? "cannot be read" : "does not exist";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    CLI::App cli{"Writes an application image (.SHX) into a controller's external flash through\n"
                 "its serial bootloader. The port 'sim' (or sim:2, sim:3) is a built-in simulated\n"
                 "controller for trying the tool without hardware.",
                 "korvath-cli"};
    cli.set_version_flag("--version", std::string("korvath-cli ") + korvath::kVersionText);
    std::vector<std::string> portTexts;
    std::string imageText;
    bool list = false;
    cli.add_flag("--list-ports", list, "List the serial ports and the simulated controllers");
    auto* portOption =
        cli.add_option("-p,--port", portTexts,
                       "Port number (n-th listed port), name, device path, usb:SERIAL or sim[:N]; "
                       "repeat it to run several ports at once")
            ->allow_extra_args(false);
    korvath::cli::LineOptions line;
    korvath::cli::addLineOptions(cli, line);
    auto* imageOption = cli.add_option("image", imageText, "S-record image file (.SHX)");
    portOption->excludes("--list-ports");
    imageOption->excludes("--list-ports");

    try {
        // UTF-8 on every system, so that an image path keeps every letter on Windows too.
        korvath::platform::Utf8Arguments arguments(argc, argv);
        cli.parse(arguments.count(), arguments.values());
    } catch (const CLI::ParseError& e) {
        const int code = cli.exit(e);
        return code == 0 ? kExitDone : kExitUsage;
    }
    if (list) return listPorts();
    if (portTexts.empty() || imageText.empty()) {
        std::fprintf(stderr, "korvath-cli: both --port and an image file are needed (see --help)\n");
        return kExitUsage;
    }

    std::error_code ec;
    const std::filesystem::path image =
        std::filesystem::absolute(korvath::platform::pathFromUtf8(imageText), ec);
    std::string why;
    if (ec || !imageReadable(image, why)) {
        std::fprintf(stderr, "korvath-cli: image %s %s\n", imageText.c_str(),
                     ec ? ec.message().c_str() : why.c_str());
        return kExitUsage;
    }

    if (korvath::cli::isLineRun(portTexts, line)) {
        return korvath::cli::runLine(portTexts, image, line);
    }
    const std::string& portText = portTexts.front();

    korvath::link::SteadyClock clock;
    korvath::ports::SystemPorts ports;
    korvath::ports::OpenedPort opened = ports.open(portText, clock);
    if (!opened) {
        std::fprintf(stderr, "korvath-cli: cannot open port %s: %s\n", portText.c_str(),
                     opened.error.c_str());
        return kExitUsage;
    }

    // The progress line redraws itself with \r and ESC [K, which a Windows console obeys only
    // when asked to.
    using korvath::platform::Stream;
    korvath::cli::ConsoleObserver observer(stdout, stderr, stdin,
                                           korvath::platform::enableTerminalControls(Stream::Error),
                                           korvath::platform::isTerminal(Stream::Input));
    korvath::link::Link link(*opened.port, clock, &observer);
    korvath::download::Downloader downloader(link, clock, observer);
    downloader.RunDownload(image);
    observer.finish();
    opened.port->close();

    switch (downloader.outcome()) {
        case korvath::download::Outcome::Done:
            return kExitDone;
        case korvath::download::Outcome::ImageRefused:
        case korvath::download::Outcome::DeviceFailure:
        case korvath::download::Outcome::NotRun:
            break;
    }
    return kExitFailed;
}
