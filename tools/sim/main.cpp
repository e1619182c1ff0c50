// korvath-sim: simulated controllers on pseudo-terminals, for trying the downloader and the
// command-line tool without hardware. Prints the port paths first, then serves until stopped.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "help/help_formatter.h"
#include "korvath/version.h"
#include "pty_server.h"
#include "sim/controller.h"

namespace {

using korvath::sim::Options;

struct ProgramOptions {
    Options device;
    bool noPacing = false;
    std::string dumpPath;
    bool log = false;
    int count = 1;
    korvath::sim::UnitPlan units;
    double usbLatencyMs = 0;
};

void addOptions(CLI::App& app, ProgramOptions& p) {
    Options& o = p.device;
    app.add_option("--model", o.model,
                   "Device model 1, 2 or 3: which password it accepts and "
                   "which sectors it has (1: 10-17, 2: 14-21, 3: 10-18)")
        ->check(CLI::Range(1, 3))
        ->capture_default_str();
    app.add_flag("--card", o.card,
                 "Programming card plugged in: after the exit frame the bootloader keeps "
                 "answering (locked again) instead of falling silent");
    app.add_flag("--no-pacing", p.noPacing,
                 "Send and take bytes at once instead of at " +
                     std::to_string(korvath::link::protocol::kBaudRate) + " baud (" +
                     std::to_string(std::lround(korvath::link::protocol::kByteTimeMs * 1000)) +
                     " us a byte)");
    app.add_option("--erase-ms", o.eraseMs,
                   "Time to erase one sector, in ms (above 5000 the "
                   "client's erase time-out passes)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--program-ms", o.programMs, "Time to program one 64-byte record, in ms")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--blank-ms", o.blankCheckMs, "Time to blank-check one sector, in ms")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();

    auto* faults = "Faults (counts are 1-based)";
    app.add_flag("--silent", o.silent, "Never answer anything")->group(faults);
    app.add_flag("--refuse-passwords", o.refusePasswords, "Answer NAK to every password")
        ->group(faults);
    app.add_option("--nak-program", o.nakProgram,
                   "Answer NAK to the N-th program frame and write nothing for it")
        ->check(CLI::PositiveNumber)
        ->group(faults);
    app.add_option("--drop-every", o.dropEvery,
                   "Send no reply to every N-th answered request (the command still runs)")
        ->check(CLI::PositiveNumber)
        ->group(faults);
    app.add_option("--garble-every", o.garbleEvery,
                   "Replace each byte of every N-th reply by a random byte other than ACK")
        ->check(CLI::PositiveNumber)
        ->group(faults);
    app.add_option("--seed", o.seed, "Seed of the garbled bytes")->group(faults);
    app.add_option("--babble-after", o.babbleAfter,
                   "After the N-th reply, send " + std::to_string(korvath::sim::kBabbleBurst) +
                       " bytes of 0xA5 every 1 ms forever (the line never falls quiet; requests "
                       "are still answered in between)")
        ->check(CLI::PositiveNumber)
        ->group(faults);
    app.add_option("--unplug-after", o.unplugAfter,
                   "Answer N program frames, then pull the cable as the next request starts "
                   "to arrive: that request is lost and the line closes; once every port's "
                   "line has closed, the program writes its dumps and ends")
        ->check(CLI::PositiveNumber)
        ->group(faults);
    app.add_option("--refuse-erase", o.refuseEraseSector,
                   "Answer NAK to every erase of this absolute sector and leave it as it is "
                   "(combine with --dirty for a sector that never becomes blank)")
        ->check(CLI::Range(0, 255))
        ->group(faults);
    app.add_flag("--dirty", o.dirty, "Start with every flash byte 0x00 instead of erased (0xFF)")
        ->group(faults);
    app.add_option("--long-reply-every", o.longReplyEvery,
                   "Follow every N-th reply by 60 filler bytes 0x00 (more than a 51-byte "
                   "reply buffer holds)")
        ->check(CLI::PositiveNumber)
        ->group(faults);

    app.add_option("--count", p.count,
                   "Serve N pseudo-terminals, each with its own controller; their paths are "
                   "the first N lines of output, in order (port 1 first)")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    app.add_option("--units", p.units.count,
                   "Successive units on each port: after the exit frame a unit restarts and "
                   "is gone for good, and a fresh unit with the same options and erased "
                   "flash answers --unit-gap-ms later; after the last one the port stays "
                   "silent (with --card the leaving unit answers until the next arrives)")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    app.add_option("--unit-gap-ms", p.units.gapMs,
                   "Time from a unit's restart (its exit reply is out) to the next unit")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--dump", p.dumpPath,
                   "Write the whole flash of the model from address E00000 to FILE: at exit "
                   "(also on a stop signal) for the unit on the line, and for each earlier "
                   "unit when the next one arrives. With several ports or units, FILE gets "
                   "the suffix .P (port P), .U (unit U) or, with both, .P.U: FILE.2, FILE.2.3; "
                   "--log lines carry the same P, U or P.U in front")
        ->option_text("FILE");
    app.add_option("--usb-latency-ms", p.usbLatencyMs,
                   "Play a USB adapter's latency timer: hand the controller's bytes to the "
                   "pseudo-terminal only at multiples of N ms (many USB adapters default to 16); "
                   "0 hands them over at once")
        ->check(CLI::Range(0.0, 1000.0))
        ->capture_default_str();
    app.add_flag("--log", p.log, "Log every request and its reply to standard error");
    app.set_version_flag("--version", std::string("korvath-sim ") + korvath::kVersionText);
}

/// Standard input is watched for its end only when something can close it: a pipe, a socket
/// or a terminal. /dev/null (a background job's input) would otherwise end the run at once.
bool inputCanClose() {
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(STDIN_FILENO);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated controller bootloaders on pseudo-terminals.\n"
        "Prints the pseudo-terminal's path as its first line (with --count N, N paths on N "
        "lines), then serves until SIGTERM, SIGINT or SIGHUP, until its standard input (a "
        "pipe or terminal) closes, or until --unplug-after has fired on every port. Open a "
        "printed path as the serial port; closing and reopening it is fine. After the exit "
        "frame the controller restarts and falls silent unless --card is given.",
        "korvath-sim"};
    ProgramOptions program;
    addOptions(app, program);
    korvath::help::useHelpLayout(app);
    CLI11_PARSE(app, argc, argv);
    Options& options = program.device;
    options.pacing = !program.noPacing;

    if (const auto checked = korvath::sim::checkOptions(options); !checked) {
        std::fprintf(stderr, "korvath-sim: %s\n", checked.fault().text.c_str());
        return 2;
    }

    // Stop signals are taken through a descriptor so that the dump is written on the way out.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    if (signalFd < 0) {
        std::perror("korvath-sim: signalfd");
        return 1;
    }

    const double epoch = korvath::sim::monotonicMs();
    std::vector<std::unique_ptr<korvath::sim::PtyServer>> servers;
    std::vector<korvath::sim::PtyServer*> serving;
    int status = 0;
    const auto writeDump = [&](const korvath::sim::Controller& controller, const std::string& tag) {
        if (program.dumpPath.empty()) return;
        const std::string path = tag.empty() ? program.dumpPath : program.dumpPath + "." + tag;
        if (const auto dumped = controller.dump(path); !dumped) {
            std::fprintf(stderr, "korvath-sim: %s\n", dumped.fault().text.c_str());
            status = 1;
        }
    };
    for (int port = 1; port <= program.count; ++port) {
        auto server = std::make_unique<korvath::sim::PtyServer>(
            options, program.units, port, program.count, program.log ? stderr : nullptr, epoch);
        if (const auto opened = server->open(); !opened) {
            std::fprintf(stderr, "korvath-sim: %s\n", opened.fault().text.c_str());
            return 1;
        }
        server->setUnitDone(writeDump);
        server->setUsbLatencyMs(program.usbLatencyMs);
        serving.push_back(server.get());
        servers.push_back(std::move(server));
    }
    for (const auto& server : servers) std::printf("%s\n", server->slavePath().c_str());
    std::fflush(stdout);

    const auto result = korvath::sim::serve(serving, signalFd, inputCanClose() ? STDIN_FILENO : -1);
    if (!result) {
        std::fprintf(stderr, "korvath-sim: %s\n", result.fault().text.c_str());
        status = 1;
    }
    for (const auto& server : servers) writeDump(server->controller(), server->tag());
    close(signalFd);
    return status;
}
