#include "line/console_observer.h"
#include "line/audit_log.h"
#include "line/console_modes.h"
#include "line/guidance.h"
#include "line/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "download/downloader.h"
#include "image/image_files.h"
#include "line/image_check.h"
#include "sim/sim_port.h"
#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/virtual_clock.h"

namespace korvath::line {
namespace {

std::string contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[256];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

struct Files {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* in = std::tmpfile();
    ~Files() {
        std::fclose(out);
        std::fclose(err);
        std::fclose(in);
    }
};

TEST(ConsoleObserver, StatusLinesGoToStdoutAndErrorsToStderrWithoutABarWhenNotATerminal) {
    Files f;
    ConsoleObserver observer(f.out, f.err, f.in, false, false);
    observer.showStatus("Idle", download::Severity::Normal);
    observer.showProgress({50, 100, download::Phase::Connecting});
    observer.showStatus("Connection Error", download::Severity::Error);
    observer.reportError(
        {platform::ErrorNumber::DeviceIo, "Device I/O error: /dev/ttyUSB0 is gone"});
    // A port name in a report reaches the terminal without its control characters.
    observer.reportError(
        {platform::ErrorNumber::DeviceIo, "Device I/O error: /dev/x\n0 - ok\x1b]0;t\x07 is gone"});
    observer.explainStatus("line 2: \x9b");
    observer.finish();
    EXPECT_EQ(contents(f.out), "Idle\nConnection Error\n");
    // Its progress wrote nothing, as it says: nothing after a record looks for a failed write.
    EXPECT_FALSE(observer.writesProgress());
    EXPECT_EQ(contents(f.err),
              "57 - Device I/O error: /dev/ttyUSB0 is gone\n"
              "57 - Device I/O error: /dev/x\\n0 - ok\\x1b]0;t\\x07 is gone\n"
              "korvath-cli: line 2: \\x9b\n");
}

TEST(ConsoleObserver, BarCountsTheImagesRecordsAndIsClearedBeforeText) {
    Files f;
    ConsoleObserver observer(f.out, f.err, f.in, true, false, [] { return 80; });
    EXPECT_TRUE(observer.writesProgress());
    using download::Count;
    using download::Phase;
    observer.showProgress({10, 56, Phase::Erasing, Count::Sector, 3, 8});
    observer.showStatus("Programming!", download::Severity::Normal);
    // The bar's own steps follow the file's length; the line counts the records sent.
    observer.showProgress({56, 56, Phase::Programming, Count::Record, 65, 65});
    observer.showStatus("Resetting target", download::Severity::Normal);
    const std::string err = contents(f.err);
    EXPECT_NE(err.find("Erasing: sector 3 of 8"), std::string::npos) << err;
    EXPECT_NE(err.find("65/65 records"), std::string::npos) << err;
    EXPECT_EQ(err.find("56/56"), std::string::npos) << err;
    EXPECT_NE(err.rfind("\r\033[K"), std::string::npos);
    EXPECT_EQ(contents(f.out), "Programming!\nResetting target\n");
}

// Every phase's line fits a narrow terminal: a terminal wraps a line that fills its last
// column, and a wrapped bar leaves a trail of lines behind.
TEST(ProgressLine, NeverFillsTheTerminalWidth) {
    using download::Count;
    using download::Phase;
    const download::Progress cases[] = {
        {0, 56, Phase::Connecting, Count::Probe, 50, 50},
        {1, 56, Phase::Connecting, Count::PasswordRound, 12, 50},
        {5, 56, Phase::Erasing, Count::Sector, 4, 8},
        {40, 56, Phase::Programming, Count::Record, 30000, 32000},
        {3, 8, Phase::Resetting, Count::Second, 3, 8},
        {0, 10, Phase::Connecting, Count::None, 0, 0},
    };
    for (const download::Progress& progress : cases) {
        for (int columns : {1, 10, 20, 30, 40, 60, 80, 200}) {
            const std::string line = progressLine(progress, 3725.0, columns);
            EXPECT_LE(static_cast<int>(line.size()), std::max(columns - 1, 0))
                << columns << ": " << line;
        }
        const std::string wide = progressLine(progress, 3725.0, 80);
        EXPECT_EQ(wide.front(), '[') << wide;
        // At 40 columns every phase's bar has one width, whichever text fits beside it.
        EXPECT_EQ(progressLine(progress, 3725.0, 40).find(']'), 12u)
            << progressLine(progress, 3725.0, 40);
    }
    EXPECT_EQ(progressLine({0, 56, Phase::Connecting, Count::Probe, 7, 50}, 0, 40),
              "[##---------] Connecting: probe 7 of 50");
    EXPECT_EQ(progressLine({9, 56, Phase::Programming, Count::Record, 10, 65}, 20, 80),
              "[#####-------------------------] 10/65 records  00:20 elapsed  01:50 left");
}

TEST(ConsoleObserver, CardMessageWaitsForEnterOnlyWhenAskedAndUntilAStop) {
    Files f;
    std::fputs("\nrest", f.in);
    std::rewind(f.in);
    ConsoleObserver waiting(f.out, f.err, f.in, false, true);
    waiting.askToRemoveProgrammingCard();
    EXPECT_EQ(std::fgetc(f.in), 'r');  // exactly one line was taken

    ConsoleObserver notWaiting(f.out, f.err, f.in, false, false);
    notWaiting.askToRemoveProgrammingCard();
    EXPECT_EQ(std::fgetc(f.in), 'e');
    // Words for a command line: nothing here has a window to close.
    EXPECT_EQ(contents(f.out),
              "Programming Card check: Please remove Programming Card first,\n"
              "then press Enter.\n"
              "Programming Card check: Please remove Programming Card first.\n");

#ifndef _WIN32
    // Ctrl-C while nobody types: the question ends instead of waiting for ever.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::FILE* silent = ::fdopen(fds[0], "r");
    std::stop_source stop;
    ConsoleObserver asking(f.out, f.err, silent, false, true);
    asking.setStopToken(stop.get_token());
    std::thread ctrlC([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.request_stop();
    });
    asking.askToRemoveProgrammingCard();
    ctrlC.join();
    std::fclose(silent);
    ::close(fds[1]);
#endif
}

// The advice on standard error after a run: what a cancel left in the controller, what to
// check when nothing answered, and that a flash erased but not written needs another run.
TEST(Guidance, SaysWhatToDoAfterEachEnding) {
    using download::Ending;
    using download::FlashState;
    const struct {
        Ending ending;
        const char* status;  ///< shown last with that ending; names the row
        FlashState flash;
        bool unlocked;
        const char* says;  ///< empty: no advice
    } cases[] = {
        {Ending::Done, "Done!", FlashState::Written, true, ""},
        {Ending::Cancelled, "Cancelled", FlashState::Untouched, false,
         "Cancelled before the password was accepted: the controller's flash is unchanged."},
        {Ending::Cancelled, "Cancelled", FlashState::Untouched, true,
         "left programming mode and its flash is unchanged"},
        {Ending::Cancelled, "Cancelled", FlashState::Incomplete, true,
         "but its flash is incomplete. Run the download again"},
        {Ending::Cancelled, "Cancelled", FlashState::Written, true, "written completely"},
        {Ending::NoConnection, "Connection Error", FlashState::Untouched, false,
         "No controller answered on /dev/ttyUSB0. Check:\n  - the controller is powered\n"
         "  - the cable is plugged in at both ends\n  - the programming card is in the "
         "controller\n  - the port is the controller's (korvath-cli --list-ports)\n"},
        {Ending::RecordRefused, "Flash Error", FlashState::Incomplete, true,
         "The controller's flash is incomplete: erasing had begun. Run the download again"},
        {Ending::EraseFailed, "Error erase flash S", FlashState::Incomplete, true,
         "flash is incomplete"},
        {Ending::WrongPassword, "Wrong Password", FlashState::Untouched, false, ""},
        {Ending::ImageRefused, "Checksum Error", FlashState::Untouched, true, ""},
        {Ending::ImageUnreadable, "Cannot read image file", FlashState::Untouched, false, ""},
        // The advice follows the ending, not the text: a port lost while connecting is not a
        // controller that never answered.
        {Ending::UnexpectedError, "Download stopped: port gone", FlashState::Untouched, false, ""},
        {Ending::UnexpectedError, "Download stopped: port gone", FlashState::Incomplete, true,
         "flash is incomplete"},
        {Ending::Busy, "", FlashState::Untouched, false, ""},
    };
    for (const auto& c : cases) {
        const std::string advice = guidanceAfter(c.ending, c.flash, c.unlocked, "/dev/ttyUSB0");
        if (std::string(c.says).empty()) {
            EXPECT_EQ(advice, "") << c.status;
        } else {
            EXPECT_NE(advice.find(c.says), std::string::npos) << c.status << ": " << advice;
        }
    }
}

// --quiet lets the failures through as they come and the final status at the end; --trace
// writes each exchange in hex with its time and phase, whatever --quiet holds back.
TEST(ConsoleModes, QuietKeepsFailuresAndTheFinalStatusAndTraceShowsTheWire) {
    using download::Severity;
    const struct {
        bool quiet;
        std::vector<std::pair<const char*, Severity>> statuses;
        const char* out;
    } cases[] = {
        {true,
         {{"Idle", Severity::Normal},
          {"Programming!", Severity::Normal},
          {"Done!", Severity::Normal}},
         "Done!\n"},
        {true,
         {{"Sending Password", Severity::Normal}, {"Checksum Error", Severity::Error}},
         "Checksum Error\n"},
        {true,
         {{"Erase external flash S3", Severity::Normal},
          {"Error erase flash S", Severity::Error},
          {"Cancelled", Severity::Error}},
         "Error erase flash S\nCancelled\n"},
        {false,
         {{"Idle", Severity::Normal}, {"Connection Error", Severity::Error}},
         "Idle\nConnection Error\n"},
    };
    for (const auto& c : cases) {
        Files f;
        test::VirtualClock clock;
        ConsoleObserver console(f.out, f.err, f.in, false, false);
        ModeObserver modes(console, {.quiet = c.quiet, .trace = true}, clock, f.err);
        modes.showProgress(
            {0, 10, download::Phase::Connecting, download::Count::PasswordRound, 1, 50});
        for (const auto& [text, severity] : c.statuses) modes.showStatus(text, severity);
        clock.sleepMs(12.5);
        const std::vector<std::uint8_t> frame = {0x1B, 0x7E, 0x00, 0x04, 0x9D, 0x80};
        link::ExchangeResult replied;
        replied.status = link::ExchangeResult::Status::Replied;
        replied.reply = {0x06};
        modes.exchanged({frame, replied, clock.nowMs(), clock.nowMs() + 4.25, 5000});
        modes.finish();
        EXPECT_EQ(contents(f.out), c.out);
        EXPECT_EQ(contents(f.err),
                  "    12.500 ms  password > 1B 7E 00 04 9D 80\n"
                  "    16.750 ms  password < 06\n");
    }
}

TEST(TraceLines, SayWhatCameBack) {
    using Status = link::ExchangeResult::Status;
    const std::vector<std::uint8_t> probe = {0x90};
    const struct {
        Status status;
        std::vector<std::uint8_t> reply;
        const char* reads;
    } cases[] = {
        {Status::TimedOut, {}, "nothing within 1000 ms"},
        {Status::TimedOut, {0x55, 0xAA}, "55 AA (still arriving after 1000 ms)"},
        {Status::Failed, {}, "failed"},
    };
    for (const auto& c : cases) {
        link::ExchangeResult result;
        result.status = c.status;
        result.reply = c.reply;
        const std::string lines = traceLines({probe, result, 1000, 2003, 1000}, 0, "connect");
        EXPECT_EQ(lines, "  1000.000 ms  connect  > 90\n  2003.000 ms  connect  < " +
                             std::string(c.reads) + "\n");
    }
    EXPECT_EQ(tracePhase({0, 0, download::Phase::Erasing}), "erase");
    EXPECT_EQ(tracePhase({0, 0, download::Phase::Connecting, download::Count::Probe}), "connect");
}

TEST(FormatDuration, MinutesAndHours) {
    EXPECT_EQ(formatDuration(0), "00:00");
    EXPECT_EQ(formatDuration(61.4), "01:01");
    EXPECT_EQ(formatDuration(3725), "1:02:05");
    EXPECT_EQ(formatDuration(-3), "00:00");
}

// The fault matrix of a single-port run: each fault of the simulated controller, the status it
// ends with on standard output, the exit code korvath-cli gives for it, its cause with the reply
// bytes seen, the line that tells the cause and the error report on standard error; then a clean
// download on a fault-free controller must leave the image in its flash, drawing its progress line
// on a 40-column terminal. The image is that of the end-to-end runs, 64 records from E00000 and the
// last one, or the whole flash of model 1.
struct SingleRun {
    download::DownloadResult result;
    std::vector<std::string> statuses;
    std::vector<std::string> reports;
    std::string err;
    std::vector<std::uint8_t> flash;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

/// `columns`: the width of the terminal the progress line is drawn on; 0 draws none.
SingleRun runSingle(const sim::Options& options, test::VirtualClock& clock,
                    const image::ImageRead& image, int columns = 0) {
    Files f;
    sim::SimPort port(options, clock);
    ConsoleObserver console(f.out, f.err, f.in, columns > 0, false, [columns] { return columns; });
    link::Link link(port, clock, &console);
    download::Downloader downloader(link, console);
    SingleRun run{downloader.runDownload(image), {}, {}, {}, {}};
    console.finish();
    run.statuses = linesOf(contents(f.out));
    run.err = contents(f.err);
    for (const std::string& line : linesOf(run.err)) {
        if (std::regex_search(line, std::regex("^\\d+ - "))) run.reports.push_back(line);
    }
    const auto flash = port.controller().flash();
    run.flash.assign(flash.begin(), flash.end());
    return run;
}

std::vector<std::string> faultMatrixImage(bool whole) {
    if (whole) {
        std::ifstream in(std::filesystem::absolute(KORVATH_SREC_IMAGE), std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }
    std::vector<std::string> lines = {test::kHeaderLine};
    for (std::uint32_t address = 0xE00000; address < 0xE01000; address += 64)
        lines.push_back(test::dataLine(address, static_cast<std::uint8_t>(address >> 6)));
    lines.push_back(test::dataLine(0xE7FFC0, 0x5A));
    lines.push_back(test::kEndLine);
    return lines;
}

/// The flash of a model 1 controller that holds exactly `lines` on erased bytes.
std::vector<std::uint8_t> flashHolding(const std::vector<std::string>& lines) {
    std::vector<std::uint8_t> flash(8 * sim::kSectorSize, 0xFF);
    for (const std::string& line : lines) {
        if (line.rfind("S2", 0) != 0) continue;
        const std::uint32_t offset = std::stoul(line.substr(4, 6), nullptr, 16) - sim::kFlashBase;
        for (std::size_t i = 0; i < 64; ++i)
            flash[offset + i] =
                static_cast<std::uint8_t>(std::stoul(line.substr(10 + 2 * i, 2), nullptr, 16));
    }
    return flash;
}

using download::Ending;

struct FaultCase {
    const char* name;
    sim::Options options;
    const char* status;
    Ending ending;
    int exitCode;
    const char* cause;             ///< causeName(); empty for "Done!"
    const char* reply;             ///< the reply bytes in hex match this
    const char* says;              ///< the advice after the status starts with this
    const char* report = nullptr;  ///< an error report matches this, when given
    bool flashIsImage = false;     ///< the faulty run itself leaves the image in the flash
    bool wholeImage = false;       ///< every record of model 1's flash, E00000 to E7FFC0
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

sim::Options faulty(void (*set)(sim::Options&)) {
    sim::Options options;
    set(options);
    return options;
}

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, EndsAsTheCommandLineReportsItAndACleanDownloadFollows) {
    const FaultCase& c = GetParam();
    if (c.wholeImage && std::string(KORVATH_SREC_IMAGE).empty()) GTEST_SKIP() << "no srec_cat";
    test::TempDir dir;
    const std::vector<std::string> lines = faultMatrixImage(c.wholeImage);
    const image::ImageRead image = image::readImage(dir.write("image.shx", lines));
    test::VirtualClock clock;

    const SingleRun run = runSingle(c.options, clock, image);
    ASSERT_FALSE(run.statuses.empty());
    EXPECT_EQ(run.statuses.front(), "Idle");
    EXPECT_EQ(run.statuses.back(), c.status);
    EXPECT_EQ(run.result.lastStatus, c.status);
    EXPECT_EQ(run.result.ending, c.ending);
    EXPECT_EQ(exitCodeFor(run.result.ending, 0), c.exitCode);
    EXPECT_EQ(download::causeName(run.result.cause), c.cause);
    EXPECT_TRUE(std::regex_search(hexBytes(run.result.reply), std::regex(c.reply)))
        << hexBytes(run.result.reply);
    const std::string advice = guidanceAfter(run.result, "sim");
    EXPECT_EQ(advice.rfind(c.says, 0), 0u) << advice;
    if (c.report != nullptr) {
        EXPECT_TRUE(std::any_of(
            run.reports.begin(), run.reports.end(),
            [&](const std::string& r) { return std::regex_search(r, std::regex(c.report)); }))
            << "no error report matching /" << c.report << "/";
    }
    // The same report in a row is told once, then its count.
    for (std::size_t i = 1; i < run.reports.size(); ++i) {
        const auto key = [&](std::size_t at) {
            return run.reports[at].substr(0, run.reports[at].rfind(" ("));
        };
        if (key(i) == key(i - 1)) {
            EXPECT_TRUE(std::regex_search(run.reports[i], std::regex(" \\(x[0-9]+\\)$")));
            EXPECT_TRUE(i + 1 == run.reports.size() || key(i + 1) != key(i));
        }
    }
    if (c.flashIsImage) {
        EXPECT_TRUE(run.flash == flashHolding(lines));
    }

    const SingleRun after = runSingle(sim::Options{}, clock, image, 40);
    std::vector<std::string> order = {"Idle", "Connecting", "Sending Password",
                                      "Erasing external flash"};
    for (int sector = 0; sector < 8; ++sector)
        order.push_back("Blank external flash S" + std::to_string(sector));
    order.insert(order.end(), {"Programming!", "Resetting target", "Done!"});
    EXPECT_EQ(after.statuses, order);
    EXPECT_EQ(exitCodeFor(after.result.ending, 0), kExitDone);
    EXPECT_TRUE(after.flash == flashHolding(lines));
    // Every drawn line fits in 39 columns (a terminal wraps one that fills its last column);
    // connecting and erasing show their counts, programming counts the image's records.
    std::vector<std::string> drawn;
    for (std::string piece : linesOf(std::regex_replace(after.err, std::regex("\r"), "\n"))) {
        piece = std::regex_replace(piece, std::regex("\x1b\\[K"), "");
        if (!piece.empty()) drawn.push_back(piece);
    }
    const std::string records = std::to_string(lines.size() - 2);
    const auto shows = [&](const std::string& text) {
        return std::any_of(drawn.begin(), drawn.end(), [&](const std::string& piece) {
            return piece.find(text) != std::string::npos;
        });
    };
    for (const std::string& piece : drawn) EXPECT_LE(piece.size(), 39u) << piece;
    EXPECT_TRUE(shows("probe 1 of 50"));
    EXPECT_TRUE(shows("sector 8 of 8"));
    EXPECT_TRUE(shows(records + "/" + records + " rec"));
    EXPECT_FALSE(std::any_of(drawn.begin(), drawn.end(), [&](const std::string& piece) {
        std::smatch total;
        return std::regex_search(piece, total, std::regex("/(\\d+) rec")) && total[1] != records;
    }));
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, FaultMatrix,
    ::testing::Values(
        FaultCase{"silent", faulty([](sim::Options& o) { o.silent = true; }), "Connection Error",
                  Ending::NoConnection, kExitFailed, "not_connected", "^$",
                  "No controller answered on sim. Check:"},
        FaultCase{"passwords", faulty([](sim::Options& o) { o.refusePasswords = true; }),
                  "Wrong Password", Ending::WrongPassword, kExitFailed, "wrong_password", "^15$",
                  "Cause: the controller refused every password."},
        FaultCase{"nak_record", faulty([](sim::Options& o) { o.nakProgram = 5; }), "Flash Error",
                  Ending::RecordRefused, kExitFailed, "refused", "^15$",
                  "Cause: the controller refused (NAK)"},
        FaultCase{"drop", faulty([](sim::Options& o) { o.dropEvery = 3; }), "Flash Error",
                  Ending::RecordRefused, kExitFailed, "no_reply", "^$",
                  "Cause: the controller did not reply in time. Check the cable, the adapter, "
                  "and that no other program has sim open.\n"},
        FaultCase{"garble", faulty([](sim::Options& o) {
                      o.garbleEvery = 3;
                      o.seed = 7;
                  }),
                  "Flash Error", Ending::RecordRefused, kExitFailed, "garbled", "^[0-9A-F]{2}$",
                  "Cause: the reply was garbled ("},
        FaultCase{"babble", faulty([](sim::Options& o) { o.babbleAfter = 20; }), "Flash Error",
                  Ending::RecordRefused, kExitFailed, "noise", "A5A5A5A5",
                  "Cause: the line is noisy: something else is sending.",
                  "^9 - .*the line is noisy: something else is sending \\(x[0-9]+\\)$"},
        FaultCase{"unplug_program", faulty([](sim::Options& o) { o.unplugAfter = 10; }),
                  "Flash Error", Ending::RecordRefused, kExitFailed, "port_lost", "^$",
                  "Cause: the port was lost", "^57 - "},
        FaultCase{"erase_refused", faulty([](sim::Options& o) {
                      o.dirty = true;
                      o.refuseEraseSector = 12;
                  }),
                  "Error erase flash S", Ending::EraseFailed, kExitFailed, "erase_failed", "^15$",
                  "Cause: the controller could not erase sector 2 of its flash."},
        FaultCase{"erase_slow", faulty([](sim::Options& o) {
                      o.dirty = true;
                      o.eraseMs = 4900;
                  }),
                  "Done!", Ending::Done, kExitDone, "", "^$", "", nullptr, true},
        FaultCase{"long_reply", faulty([](sim::Options& o) { o.longReplyEvery = 40; }),
                  "Flash Error", Ending::RecordRefused, kExitFailed, "noise", "^0600",
                  "Cause: the line is noisy", "^9 - .*reply of 61 bytes"},
        FaultCase{"none_whole_image", sim::Options{}, "Done!", Ending::Done, kExitDone, "", "^$",
                  "", nullptr, true, true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvath::line
