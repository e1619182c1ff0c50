#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "download/controller.h"
#include "download/downloader.h"
#include "image/image_file.h"
#include "image/image_files.h"
#include "image/record.h"
#include "link/protocol.h"
#include "sim/sim_port.h"
#include "support/fake_port.h"

namespace korvath::download {
namespace {

using test::Bytes;
using test::dataLine;
using test::kEndLine;
using test::kHeaderLine;
using Texts = std::vector<std::string>;

struct Recorder : DownloadObserver {
    struct Status {
        std::string text;
        Severity severity;
        bool busy;
    };
    const Downloader* downloader = nullptr;
    const test::Controller* controller = nullptr;
    std::vector<Status> statuses;
    std::vector<Progress> progress;
    Texts explanations;
    int cardMessages = 0;
    int exitsAtCardMessage = -1;
    std::function<void(std::string_view)> onStatus;
    std::function<void()> onProgress;
    std::function<void()> onCard;

    void showStatus(std::string_view text, Severity severity) override {
        statuses.push_back({std::string(text), severity, downloader->busy()});
        if (onStatus) onStatus(text);
    }
    void explainStatus(std::string_view reason) override { explanations.emplace_back(reason); }
    void showProgress(const Progress& state) override {
        progress.push_back(state);
        if (onProgress) onProgress();
    }
    void askToRemoveProgrammingCard() override {
        ++cardMessages;
        exitsAtCardMessage = controller->exits;
        if (onCard) onCard();
    }
    void reportError(const platform::Fault&) override {}

    [[nodiscard]] Texts texts() const {
        Texts t;
        for (const auto& s : statuses) t.push_back(s.text);
        return t;
    }
    [[nodiscard]] const Status& last() const { return statuses.back(); }
    /// Whether a front end showed the busy pointer: from the erase phase on.
    [[nodiscard]] bool wentBusy() const {
        return std::any_of(progress.begin(), progress.end(),
                           [](const Progress& p) { return p.phase != Phase::Connecting; });
    }
};

class DownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port.setDevice(controller.device());
        observer.downloader = &downloader;
        observer.controller = &controller;
    }

    std::filesystem::path smallImage(const std::vector<std::string>& lines = test::imageLines()) {
        return dir.write("image.shx", lines);
    }

    DownloadResult run(const std::filesystem::path& image) {
        result = downloader.runDownload(image);
        return result;
    }

    test::VirtualClock clock;
    test::Controller controller;
    test::FakePort port{clock};
    Recorder observer;
    link::Link link{port, clock, &observer};
    Downloader downloader{link, observer};
    DownloadResult result;
    test::TempDir dir;
};

Texts repeat(const std::string& text, int times) {
    return Texts(static_cast<std::size_t>(times), text);
}
Texts operator+(Texts a, const Texts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(DownloadTest, AFullRunShowsEveryStepInOrder) {
    controller.cardPlugged = false;
    EXPECT_EQ(run(smallImage()).ending, Ending::Done);
    EXPECT_EQ(
        observer.texts(),
        (Texts{"Idle", "Connecting", "Sending Password", "Erasing external flash",
               "Blank external flash S0", "Blank external flash S1", "Blank external flash S2",
               "Blank external flash S3", "Blank external flash S4", "Blank external flash S5",
               "Blank external flash S6", "Blank external flash S7", "Programming!",
               "Resetting target", "Done!"}));
    for (const auto& s : observer.statuses) {
        EXPECT_EQ(s.severity, Severity::Normal) << s.text;
        // Busy from the erase phase on, and not before.
        EXPECT_EQ(s.busy,
                  s.text != "Idle" && s.text != "Connecting" && s.text != "Sending Password")
            << s.text;
    }
    EXPECT_TRUE(observer.wentBusy());
    EXPECT_FALSE(downloader.busy());
    EXPECT_EQ(result.ending, Ending::Done);
    EXPECT_EQ(controller.programFrames.size(), 64u);
    EXPECT_EQ(controller.exits, 1);
    // One pause per blank sector, then the eight seconds of the reset wait.
    EXPECT_EQ(clock.sleeps(), std::vector<double>(16, 1000.0));
}

TEST_F(DownloadTest, ASilentDeviceGetsFiftyProbesAndNoExitFrame) {
    controller.firstAckedProbe = 0;
    const double start = clock.now();
    EXPECT_EQ(run(smallImage()).ending, Ending::NoConnection);
    EXPECT_EQ(controller.probes, 50);
    EXPECT_EQ(port.frames().size(), 50u);
    EXPECT_EQ(observer.texts(), (Texts{"Idle", "Connecting", "Connection Error"}));
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_FALSE(observer.wentBusy());
    EXPECT_FALSE(downloader.busy());
    EXPECT_TRUE(isDeviceFailure(result.ending));
    EXPECT_NEAR(clock.now() - start, 50 * 1003.0, 50 * 2.0);
}

TEST_F(DownloadTest, TheFiftiethProbeIsStillInTime) {
    controller.firstAckedProbe = 50;
    run(smallImage());
    EXPECT_EQ(controller.probes, 51);  // the last one after the reset wait
    EXPECT_EQ(observer.texts()[2], "Sending Password");
    EXPECT_EQ(observer.last().text, "Done!");
}

TEST_F(DownloadTest, RefusedPasswordsEndWithOneExitFrameAndNothingErased) {
    controller.model = 0;
    EXPECT_EQ(run(smallImage()).ending, Ending::WrongPassword);
    EXPECT_EQ(controller.passwordFrames, 150);
    EXPECT_EQ(observer.texts(),
              (Texts{"Idle", "Connecting", "Sending Password", "Wrong Password"}));
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_EQ(controller.exits, 1);
    EXPECT_TRUE(controller.blankChecks.empty());
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_FALSE(observer.wentBusy());
}

TEST_F(DownloadTest, ARefusedImageIsNeitherErasedNorMarkedBusy) {
    std::vector<std::string> lines = test::imageLines();
    lines[7][139] = lines[7][139] == '0' ? '1' : '0';
    EXPECT_EQ(run(smallImage(lines)).ending, Ending::ImageRefused);
    EXPECT_EQ(observer.texts(),
              (Texts{"Idle", "Connecting", "Sending Password", "Checksum Error"}));
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_EQ(controller.exits, 1);
    EXPECT_TRUE(controller.blankChecks.empty());
    EXPECT_TRUE(controller.programFrames.empty());
    EXPECT_FALSE(observer.wentBusy());
    EXPECT_EQ(result.ending, Ending::ImageRefused);
}

/// The reply time-out of every exchange of a download, run-length coded: "probe 1000, password
/// 5000 x3, ...".
struct WaitTrace : link::WireTrace {
    std::vector<std::pair<std::string, int>> waits;
    void exchanged(const link::WireExchange& e) override {
        static const std::map<std::uint8_t, std::string> kNames = {
            {0x73, "password"}, {0x77, "blank"}, {0x75, "erase"}, {0x74, "record"}, {0x7E, "exit"}};
        const auto name = e.frame.size() == 1 ? "probe" : kNames.at(e.frame[1]);
        waits.emplace_back(name, e.timeoutMs);
    }
    [[nodiscard]] std::string text() const {
        std::string out;
        for (std::size_t i = 0; i < waits.size();) {
            std::size_t n = 1;
            while (i + n < waits.size() && waits[i + n] == waits[i]) ++n;
            out += (out.empty() ? "" : ", ") + waits[i].first + " " +
                   std::to_string(waits[i].second) + (n > 1 ? " x" + std::to_string(n) : "");
            i += n;
        }
        return out;
    }
};

struct WaitCase {
    const char* name;
    std::function<void(test::Controller&, std::vector<std::string>&)> script;
    std::string waits;
    int nextProbes;  ///< the reply time-out of the next download's probes
    friend void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }
};

class ReplyWaits : public DownloadTest, public ::testing::WithParamInterface<WaitCase> {};

// A device busy with a password or a sector answers late: the long time-out lasts from the
// password step until the end of the next blank check or erase, also into the next download.
TEST_P(ReplyWaits, AreLongFromThePasswordStepUntilTheNextSectorCommand) {
    WaitTrace trace;
    link.setTrace(&trace);
    std::vector<std::string> lines = test::imageLines();
    GetParam().script(controller, lines);
    run(smallImage(lines));
    EXPECT_EQ(trace.text(), GetParam().waits);

    controller = test::Controller{};
    controller.firstAckedProbe = 0;
    trace.waits.clear();
    run(smallImage());
    EXPECT_EQ(trace.text(), "probe " + std::to_string(GetParam().nextProbes) + " x50");
}

INSTANTIATE_TEST_SUITE_P(
    All, ReplyWaits,
    ::testing::Values(
        WaitCase{"Done", [](auto&, auto&) {},
                 "probe 1000, password 5000, blank 5000 x8, record 1000 x64, exit 1000, probe "
                 "1000",
                 1000},
        WaitCase{"NotBlank", [](test::Controller& c, auto&) { c.notBlank[10] = 1; },
                 "probe 1000, password 5000, blank 5000, erase 5000, blank 5000 x7, record 1000 "
                 "x64, exit 1000, probe 1000",
                 1000},
        WaitCase{"ImageRefused", [](auto&, std::vector<std::string>& lines) { lines[7][139] ^= 1; },
                 "probe 1000, password 5000, exit 5000", 5000},
        WaitCase{"WrongPassword", [](test::Controller& c, auto&) { c.model = 0; },
                 "probe 1000, password 5000 x150, exit 5000", 5000},
        WaitCase{"RecordRefused", [](test::Controller& c, auto&) { c.refusedRecord = 3; },
                 "probe 1000, password 5000, blank 5000 x8, record 1000 x4, exit 1000", 1000}),
    [](const auto& info) { return std::string(info.param.name); });

struct SectorCase {
    const char* name;
    int notBlank;
    int refusedErases;
    Texts texts;  // for sector 0, after "Erasing external flash"
    std::size_t checks;
    std::size_t erases;
    std::size_t pauses;
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const SectorCase& c, std::ostream* os) { *os << c.name; }
};

class SectorPaths : public DownloadTest, public ::testing::WithParamInterface<SectorCase> {};

TEST_P(SectorPaths, PassUntilBlankOrErased) {
    const SectorCase& c = GetParam();
    controller.notBlank[10] = c.notBlank;
    controller.refusedErases[10] = c.refusedErases;
    run(smallImage());
    const Texts texts = observer.texts();
    const Texts sector0(texts.begin() + 4, texts.begin() + 4 + static_cast<long>(c.texts.size()));
    EXPECT_EQ(sector0, c.texts);
    EXPECT_EQ(std::count(controller.blankChecks.begin(), controller.blankChecks.end(), 10),
              static_cast<long>(c.checks));
    EXPECT_EQ(controller.erases.size(), c.erases);
    // Sector 0's pauses come first; the other seven sectors are blank at once.
    const auto& sleeps = clock.sleeps();
    const bool failed = c.notBlank < 0;
    EXPECT_EQ(sleeps.size(), failed ? c.pauses : c.pauses + 7 + 8);
    if (failed) {
        EXPECT_EQ(observer.last().text, "Error erase flash S");
        EXPECT_EQ(observer.last().severity, Severity::Error);
        EXPECT_EQ(controller.exits, 1);
        EXPECT_TRUE(controller.programFrames.empty());
    } else {
        EXPECT_EQ(observer.last().text, "Done!");
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, SectorPaths,
    ::testing::Values(SectorCase{"BlankAtOnce", 0, 0, {"Blank external flash S0"}, 1, 0, 1},
                      SectorCase{"EraseAcknowledged", 1, 0, {"Erase external flash S0"}, 1, 1, 1},
                      SectorCase{"EraseRefusedThenBlank",
                                 1,
                                 1,
                                 {"Erase external flash S0", "Blank external flash S0"},
                                 2,
                                 1,
                                 2},
                      SectorCase{
                          "Never", -1, -1,
                          repeat("Erase external flash S0", 50) + Texts{"Error erase flash S"}, 50,
                          50, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct ModelCase {
    int model;
    int firstSector;
    int sectors;
    std::uint8_t lastAddressHigh;
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const ModelCase& c, std::ostream* os) { *os << "model " << c.model; }
};

class Models : public DownloadTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(Models, EraseTheirOwnSectorsAndPlaceTheLastRecord) {
    const ModelCase& c = GetParam();
    controller.model = c.model;
    for (int i = 0; i < c.sectors; ++i) controller.notBlank[c.firstSector + i] = 1;
    run(smallImage());

    std::vector<int> expected;
    Texts texts;
    for (int i = 0; i < c.sectors; ++i) {
        expected.push_back(c.firstSector + i);
        texts.push_back("Erase external flash S" + std::to_string(i));
    }
    EXPECT_EQ(controller.blankChecks, expected);
    EXPECT_EQ(controller.erases, expected);
    const Texts all = observer.texts();
    EXPECT_EQ(Texts(all.begin() + 4, all.begin() + 4 + c.sectors), texts);

    ASSERT_EQ(controller.programFrames.size(), 64u);
    const Bytes& last = controller.programFrames.back();
    EXPECT_EQ(Bytes(last.begin() + 3, last.begin() + 6), (Bytes{0xC0, 0xFF, c.lastAddressHigh}));
    EXPECT_EQ(observer.last().text, "Done!");
}

INSTANTIATE_TEST_SUITE_P(All, Models,
                         ::testing::Values(ModelCase{1, 10, 8, 0xE7}, ModelCase{2, 14, 8, 0xE7},
                                           ModelCase{3, 10, 9, 0xE8}));

TEST_F(DownloadTest, OnModel3OnlyTheLastDataLineMoves) {
    controller.model = 3;
    const std::string last = dataLine(0xE7FFC0);
    run(smallImage({kHeaderLine, last, dataLine(0xE7FF80), last, kEndLine}));
    ASSERT_EQ(controller.programFrames.size(), 3u);
    EXPECT_EQ(controller.programFrames[0][5], 0xE7);
    EXPECT_EQ(controller.programFrames[2][5], 0xE8);
}

struct SkipCase {
    const char* name;
    int firstPadded;  ///< records first..last (0-based, of 64 at E7F000) hold only 0xFF
    int lastPadded;
    bool skip = true;
    int model = 1;
    bool dirty = false;  ///< the flash starts written, so every sector is erased first
    friend void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name; }
};

/// The address of every program frame, in the order sent.
struct ProgramTrace : link::WireTrace {
    std::vector<std::uint32_t> addresses;
    void exchanged(const link::WireExchange& e) override {
        if (e.frame.size() > 5 && e.frame[1] == link::protocol::kCmdProgram)
            addresses.push_back(e.frame[3] | e.frame[4] << 8 | e.frame[5] << 16);
    }
};

class SkipErased : public ::testing::TestWithParam<SkipCase> {};

// Erased NOR flash reads 0xFF and programming 0xFF changes no bit: with the option on, padding
// records are left out, everything else goes as before, and the simulated controller's flash
// ends equal to the image either way. The last record always goes, all 0xFF or not.
TEST_P(SkipErased, LeavesOutPaddingAndTheFlashStillEqualsTheImage) {
    const SkipCase& c = GetParam();
    std::vector<std::string> lines = test::imageLines(0xE7F000);
    for (int i = c.firstPadded; i <= c.lastPadded; ++i) {
        lines[static_cast<std::size_t>(i) + 1] = dataLine(
            0xE7F000 + 64 * static_cast<std::uint32_t>(i), std::vector<std::uint8_t>(64, 0xFF));
    }
    test::VirtualClock clock;
    sim::SimPort port({.model = c.model, .dirty = c.dirty}, clock);
    Recorder observer;
    link::Link link{port, clock, &observer};
    ProgramTrace trace;
    link.setTrace(&trace);
    Downloader downloader{link, observer};
    observer.downloader = &downloader;
    downloader.setSkipErased(c.skip);
    test::TempDir dir;
    const DownloadResult result = downloader.runDownload(dir.write("padded.shx", lines));

    const link::Model model = *link::protocol::modelNumbered(c.model);
    std::vector<std::uint8_t> expected(port.controller().flash().size(), 0xFF);
    std::vector<std::uint32_t> sent;
    for (std::size_t i = 0; i < 64; ++i) {
        const link::DataRecord record = image::dataRecord(lines[i + 1]);
        const bool last = i == 63;
        const std::uint32_t at =
            last ? link::protocol::lastRecordAddressFor(model) : record.address;
        std::copy(record.data.begin(), record.data.end(),
                  expected.begin() + (at - link::protocol::kFlashBase));
        const bool padded =
            static_cast<int>(i) >= c.firstPadded && static_cast<int>(i) <= c.lastPadded;
        if (last || !c.skip || !padded) sent.push_back(at);
    }
    EXPECT_EQ(result.ending, Ending::Done);
    EXPECT_EQ(observer.last().text, "Done!");
    EXPECT_EQ(trace.addresses, sent);
    EXPECT_EQ(result.skippedRecords, 64 - static_cast<int>(sent.size()));
    EXPECT_EQ(port.controller().counters().erases, c.dirty ? port.controller().sectorCount() : 0);
    const auto flash = port.controller().flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), expected.begin(), expected.end()));
    // The count goes to the records sent; the bar, which follows the file, still reaches its end.
    const auto lastRecord =
        std::find_if(observer.progress.rbegin(), observer.progress.rend(),
                     [](const Progress& p) { return p.count == Count::Record; });
    ASSERT_NE(lastRecord, observer.progress.rend());
    EXPECT_EQ(lastRecord->step, static_cast<int>(sent.size()));
    EXPECT_EQ(lastRecord->steps, static_cast<int>(sent.size()));
    EXPECT_EQ(lastRecord->done, lastRecord->total);
}

INSTANTIATE_TEST_SUITE_P(
    All, SkipErased,
    ::testing::Values(SkipCase{"Off", 0, 31, false}, SkipCase{"PaddingAtTheStart", 0, 15},
                      SkipCase{"PaddingInTheMiddle", 20, 39}, SkipCase{"PaddingAtTheEnd", 40, 62},
                      SkipCase{"AllPaddingButTheLastRecord", 0, 62},
                      SkipCase{"Model3LastRecordAllFF", 0, 63, true, 3},
                      SkipCase{"ErasedRatherThanBlank", 10, 50, true, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, TheBarCountsOneStepPer141Bytes) {
    controller.firstAckedProbe = 0;
    for (const auto& [bytes, maximum] : std::vector<std::pair<std::size_t, int>>{
             {70, 0}, {71, 1}, {211, 1}, {212, 2}, {4620217, 32767}}) {
        observer.progress.clear();
        run(dir.writeRaw("sized.shx", std::string(bytes, 'S')));
        ASSERT_FALSE(observer.progress.empty());
        EXPECT_EQ(observer.progress.front().total, maximum) << bytes;
        EXPECT_EQ(observer.progress.front().done, 0) << bytes;
        EXPECT_EQ(observer.last().text, "Connection Error");
    }
}

TEST_F(DownloadTest, ImagesTooLongForSixteenBitsAreRefusedBeforeAnythingIsSent) {
    const auto byLength = dir.writeRaw("long.shx", std::string(4620218, 'S'));
    const auto byLines = dir.writeRaw("lines.shx", "S0\n" + std::string(32767, '\n'));
    for (const auto& file : {byLength, byLines}) {
        observer.statuses.clear();
        EXPECT_EQ(run(file).ending, Ending::ImageRefused);
        EXPECT_EQ(observer.texts(), Texts{"File too long"}) << file;
        EXPECT_EQ(observer.last().severity, Severity::Error);
    }
    EXPECT_TRUE(port.frames().empty());
    EXPECT_FALSE(observer.wentBusy());

    // One line fewer is taken.
    controller.firstAckedProbe = 0;
    run(dir.writeRaw("lines.shx", "S0\n" + std::string(32766, '\n')));
    EXPECT_EQ(observer.last().text, "Connection Error");
}

/// The reports that moved the bar, without those that only counted a probe or a password round.
std::vector<Progress> barSteps(const std::vector<Progress>& reports) {
    std::vector<Progress> steps;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const Progress& p = reports[i];
        const bool connectCount = p.count == Count::Probe || p.count == Count::PasswordRound;
        const bool counted =
            i > 0 && p.done == reports[i - 1].done && p.total == reports[i - 1].total &&
            (p.count != reports[i - 1].count || (connectCount && p.step != reports[i - 1].step));
        if (!counted) steps.push_back(p);
    }
    return steps;
}

TEST_F(DownloadTest, TheProgressBarStepsAndClampsThroughARun) {
    run(smallImage());
    observer.progress = barSteps(observer.progress);
    const auto size = std::filesystem::file_size(dir.path() / "image.shx");
    const int maximum = static_cast<int>((size + 70) / 141);
    ASSERT_EQ(maximum, 65);
    // Set-up, connect, erase start, 8 sectors, 64 records: 74 steps cut to 65.
    const std::size_t beforeReset = 1 + 1 + 1 + 8 + 64;
    ASSERT_EQ(observer.progress.size(), beforeReset + 9);
    for (std::size_t i = 0; i < beforeReset; ++i) {
        EXPECT_EQ(observer.progress[i].total, maximum);
        EXPECT_EQ(observer.progress[i].done, std::min(static_cast<int>(i), maximum));
    }
    // The phase of each step: set-up and connect, erase start and 8 sectors, records, reset.
    const std::vector<std::pair<std::size_t, Phase>> phases = {
        {1, Phase::Connecting},   {2, Phase::Erasing},      {10, Phase::Erasing},
        {11, Phase::Programming}, {74, Phase::Programming}, {75, Phase::Resetting}};
    for (const auto& [index, phase] : phases)
        EXPECT_EQ(observer.progress[index].phase, phase) << index;
    for (std::size_t second = 0; second <= 8; ++second) {
        EXPECT_EQ(observer.progress[beforeReset + second].total, 8);
        EXPECT_EQ(observer.progress[beforeReset + second].done, static_cast<int>(second));
    }
}

// The bar's steps follow the file's length (65 for this image); what each phase counts
// follows what is sent: probes and password rounds of 50, sectors of 8, the 64 data records.
TEST_F(DownloadTest, EachPhaseCountsWhatItSends) {
    controller.firstAckedProbe = 3;
    run(smallImage());
    std::vector<std::string> counts;
    for (const Progress& p : observer.progress) {
        const std::string text = std::to_string(static_cast<int>(p.count)) + ":" +
                                 std::to_string(p.step) + "/" + std::to_string(p.steps);
        if (counts.empty() || counts.back() != text) counts.push_back(text);
    }
    const auto at = [&](Count count, int step, int steps) {
        return std::find(counts.begin(), counts.end(),
                         std::to_string(static_cast<int>(count)) + ":" + std::to_string(step) +
                             "/" + std::to_string(steps)) != counts.end();
    };
    EXPECT_TRUE(at(Count::Probe, 1, 50) && at(Count::Probe, 3, 50) && !at(Count::Probe, 4, 50));
    EXPECT_TRUE(at(Count::PasswordRound, 1, 50) && !at(Count::PasswordRound, 2, 50));
    for (int sector = 1; sector <= 8; ++sector) EXPECT_TRUE(at(Count::Sector, sector, 8)) << sector;
    EXPECT_TRUE(at(Count::Record, 1, 64) && at(Count::Record, 64, 64));
    EXPECT_EQ(controller.programFrames.size(), 64U);
    EXPECT_TRUE(at(Count::Second, 8, 8));
    const auto programming =
        std::find_if(observer.progress.begin(), observer.progress.end(),
                     [](const Progress& p) { return p.phase == Phase::Programming; });
    ASSERT_NE(programming, observer.progress.end());
    EXPECT_EQ(programming->count, Count::Record);
    EXPECT_EQ(programming->steps, 64);
    EXPECT_EQ(programming->total, 65);
}

// A stop request ends the download at the next exchange boundary: the exit frame follows at
// once when the password step had passed, pauses after the request are skipped, and the flash
// state says what is left in the controller.
struct CancelCase {
    const char* name;
    const char* stopAtStatus;  ///< the stop is requested when this status shows...
    int stopAtRecord;          ///< ...or when this many records were sent (-1: never)
    std::size_t programFrames;
    int exits;
    std::size_t sleeps;
    FlashState flash;
    bool cardPlugged = false;  ///< ...or at the programming-card question (Ctrl-C there)
    friend void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }
};

class Cancelling : public DownloadTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(Cancelling, StopsBetweenExchangesWithTheExitFrameWhenUnlocked) {
    const CancelCase& c = GetParam();
    std::stop_source stop;
    downloader.setStopToken(stop.get_token());
    observer.onStatus = [&](std::string_view text) {
        if (text == c.stopAtStatus) stop.request_stop();
    };
    observer.onProgress = [&] {
        if (static_cast<int>(controller.programFrames.size()) == c.stopAtRecord)
            stop.request_stop();
    };
    controller.cardPlugged = c.cardPlugged;
    observer.onCard = [&] { stop.request_stop(); };
    run(smallImage());
    EXPECT_EQ(result.ending, Ending::Cancelled);
    EXPECT_EQ(observer.last().text, "Cancelled");
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_EQ(controller.programFrames.size(), c.programFrames);
    EXPECT_EQ(controller.exits, c.exits);
    EXPECT_EQ(clock.sleeps().size(), c.sleeps);
    EXPECT_EQ(result.flash, c.flash);
    EXPECT_EQ(controller.probesAfterExit, c.cardPlugged ? 1 : 0);
    // The exit frame is the last frame sent: nothing followed the stop but it.
    const Bytes exit(link::protocol::kExitFrame.begin(), link::protocol::kExitFrame.end());
    if (c.exits > 0) {
        EXPECT_EQ(port.frames().back(), exit);
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, Cancelling,
    ::testing::Values(
        CancelCase{"Connecting", "Connecting", -1, 0, 0, 0, FlashState::Untouched},
        CancelCase{"Password", "Sending Password", -1, 0, 0, 0, FlashState::Untouched},
        CancelCase{"Erasing", "Blank external flash S1", -1, 0, 1, 1, FlashState::Incomplete},
        CancelCase{"Programming", "", 10, 10, 1, 8, FlashState::Incomplete},
        CancelCase{"Resetting", "Resetting target", -1, 64, 1, 8, FlashState::Written},
        CancelCase{"CardQuestion", "", -1, 64, 2, 16, FlashState::Written, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, TheResetWaitProbesOnceAfterEightSeconds) {
    run(smallImage());
    EXPECT_EQ(controller.probesAfterExit, 1);
    EXPECT_EQ(observer.cardMessages, 0);
    EXPECT_EQ(controller.exits, 1);
    const Texts texts = observer.texts();
    EXPECT_EQ(Texts(texts.end() - 2, texts.end()), (Texts{"Resetting target", "Done!"}));
}

TEST_F(DownloadTest, APluggedCardIsReportedAndTheExitFrameSentAgainAfterward) {
    controller.cardPlugged = true;
    const double start = clock.now();
    run(smallImage());
    EXPECT_EQ(controller.probesAfterExit, 1);
    EXPECT_EQ(observer.cardMessages, 1);
    EXPECT_EQ(observer.exitsAtCardMessage, 1);
    EXPECT_EQ(controller.exits, 2);
    EXPECT_EQ(observer.last().text, "Done!");
    EXPECT_GE(clock.now() - start, 8 * 1000.0 + 8 * 1000.0);  // sector pauses and the reset wait
}

TEST_F(DownloadTest, ARefusedRecordEndsWithFlashErrorAndNoResetWait) {
    controller.refusedRecord = 2;
    EXPECT_EQ(run(smallImage()).ending, Ending::RecordRefused);
    EXPECT_EQ(observer.last().text, "Flash Error");
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_EQ(controller.programFrames.size(), 3u);
    EXPECT_EQ(controller.exits, 1);
    EXPECT_EQ(controller.probesAfterExit, 0);
    EXPECT_EQ(clock.sleeps().size(), 8u);
    EXPECT_TRUE(observer.wentBusy());
    EXPECT_FALSE(downloader.busy());
    EXPECT_TRUE(isDeviceFailure(result.ending));
}

TEST_F(DownloadTest, AnImageThatCannotBeFoundOrIsRelativeIsRefusedBeforeConnecting) {
    run(dir.path() / "gone.shx");
    run("image.shx");
    EXPECT_EQ(observer.texts(), (Texts{"Cannot open image file: No such file or directory",
                                       "Image path is not a full path: image.shx"}));
    EXPECT_EQ(observer.statuses[0].severity, Severity::Error);
    EXPECT_EQ(observer.statuses[1].severity, Severity::Error);
    EXPECT_TRUE(port.frames().empty());
    EXPECT_EQ(result.ending, Ending::ImageUnreadable);
}

#ifndef _WIN32
// A pipe blocked the download in open() for good, a device or a sparse file of gigabytes was
// read to its end: now neither is read at all. The pipe gets a writer for a while, so that a
// reader that did open it would see it end instead of hanging.
TEST_F(DownloadTest, SpecialFilesAndHugeFilesAreRefusedWithoutReadingThem) {
    const auto fifo = dir.path() / "fifo.shx";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&fifo] {
        for (int i = 0; i < 100; ++i) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto sparse = dir.writeRaw("sparse.shx", "S0");
    std::filesystem::resize_file(sparse, 2'000'000'000);
    const auto started = std::chrono::steady_clock::now();
    for (const std::filesystem::path& file : {fifo, std::filesystem::path("/dev/zero"), sparse}) {
        observer.statuses.clear();
        run(file);
        const bool huge = file == sparse;
        EXPECT_EQ(observer.texts(),
                  Texts{huge ? "File too long" : "Cannot read image file: not a regular file"})
            << file;
        EXPECT_EQ(observer.last().severity, Severity::Error);
        EXPECT_EQ(result.ending, huge ? Ending::ImageRefused : Ending::ImageUnreadable);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    writer.join();
    EXPECT_TRUE(port.frames().empty());
}
#endif

struct UnsendableCase {
    const char* name;
    std::vector<std::string> lines;
    int model;
    std::string status;
    std::string detail;
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const UnsendableCase& c, std::ostream* os) { *os << c.name; }
};

class UnsendableImages : public DownloadTest,
                         public ::testing::WithParamInterface<UnsendableCase> {};

// Records the controller cannot take, a last record out of the programming loop's reach and an
// image without one: each was found only after erasing, or never said. Now each is one status
// in the error colour with its line and reason beside it, and the controller keeps its flash.
TEST_P(UnsendableImages, AreRefusedBeforeErasingAndSaySo) {
    const UnsendableCase& c = GetParam();
    controller.model = c.model;
    EXPECT_EQ(run(smallImage(c.lines)).ending, Ending::ImageRefused);
    EXPECT_EQ(observer.texts(), (Texts{"Idle", "Connecting", "Sending Password", c.status}));
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_EQ(observer.explanations, Texts{c.detail});
    EXPECT_TRUE(controller.blankChecks.empty());
    EXPECT_TRUE(controller.erases.empty());
    EXPECT_TRUE(controller.programFrames.empty());
    EXPECT_EQ(controller.exits, 1);
    EXPECT_FALSE(observer.wentBusy());
    EXPECT_EQ(result.ending, Ending::ImageRefused);
}

std::vector<std::string> withRecord(std::uint32_t address) {
    std::vector<std::string> lines = test::imageLines();
    lines.insert(lines.begin() + 1, dataLine(address, 0x5A));
    return lines;
}

std::vector<std::string> twoImages() {
    // The first ends without its last record; the second has one.
    std::vector<std::string> first = test::imageLines(0xE7FF00);
    first.erase(first.end() - 2);
    const std::vector<std::string> second = test::imageLines(0xE7FF00);
    first.insert(first.end(), second.begin() + 1, second.end());
    return first;
}

std::vector<std::string> withoutLastRecord() {
    std::vector<std::string> lines = test::imageLines(0xE7F000);
    lines.erase(lines.end() - 2);
    return lines;
}

std::vector<std::string> lowerCaseLastAddress() {
    std::vector<std::string> lines = test::imageLines(0xE7FF00);
    std::string& last = lines[lines.size() - 2];
    for (std::size_t i = 4; i < 10; ++i) last[i] = static_cast<char>(std::tolower(last[i]));
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    All, UnsendableImages,
    ::testing::Values(
        UnsendableCase{"AtZero", withRecord(0x000000), 1, "Record outside flash",
                       "line 2: the record at 000000 is outside the external flash "
                       "E00000-E8FFFF"},
        UnsendableCase{"BelowTheFlash", withRecord(0xDFFFC0), 3, "Record outside flash",
                       "line 2: the record at DFFFC0 is outside the external flash "
                       "E00000-E8FFFF"},
        UnsendableCase{"NinthSectorOnModel1", withRecord(0xE80000), 1, "Record outside flash",
                       "line 2: the record at E80000 is outside the flash of model 1 "
                       "(E00000-E7FFFF)"},
        UnsendableCase{"RunsPastTheEnd", withRecord(0xE7FFE0), 1, "Misaligned record",
                       "line 2: the record at E7FFE0 does not begin on a 64-byte boundary"},
        UnsendableCase{"NotOnA64ByteBoundary", withRecord(0xE00010), 2, "Misaligned record",
                       "line 2: the record at E00010 does not begin on a 64-byte boundary"},
        UnsendableCase{"SecondRecordForAnAddress", withRecord(0xE7F040), 1, "Duplicate address",
                       "line 4: the record at E7F040 was already written by line 2"},
        UnsendableCase{"LastRecordBehindTheFirstEndLine", twoImages(), 1, "No last record E7FFC0",
                       "line 5: the first end line follows the record at E7FF80, not the one at "
                       "E7FFC0"},
        UnsendableCase{"NoLastRecord", withoutLastRecord(), 1, "No last record E7FFC0",
                       "line 65: the first end line follows the record at E7FF80, not the one at "
                       "E7FFC0"},
        UnsendableCase{"LowerCaseLastAddress", lowerCaseLastAddress(), 3, "No last record E7FFC0",
                       "line 6: the first end line follows a record written \"S244e7ffc0\"; the "
                       "last record begins with \"S244E7FFC0\" in capitals"}),
    [](const auto& info) { return std::string(info.param.name); });

Bytes expectedFrame(const std::string& line);

struct ChangedImageCase {
    const char* name;
    std::function<void(const std::filesystem::path&)> change;
    std::string_view at = text::Erasing;  ///< the status at which the file changes
    std::uint32_t first = 0xE7F000;       ///< the image's first record
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const ChangedImageCase& c, std::ostream* os) { *os << c.name; }
};

class ImageChangedDuringDownload : public DownloadTest,
                                   public ::testing::WithParamInterface<ChangedImageCase> {};

// The download read the file once, before connecting: whatever happens to it afterwards, the
// controller gets exactly the records that were checked.
TEST_P(ImageChangedDuringDownload, SendsTheBytesThatWereChecked) {
    const std::vector<std::string> lines = test::imageLines(GetParam().first);
    const auto file = smallImage(lines);
    bool changed = false;
    observer.onStatus = [&](std::string_view text) {
        if (text == GetParam().at && !changed) {
            GetParam().change(file);
            changed = true;
        }
    };
    EXPECT_EQ(run(file).ending, Ending::Done);
    EXPECT_TRUE(changed);
    EXPECT_EQ(observer.last().text, "Done!");
    ASSERT_EQ(controller.programFrames.size(), lines.size() - 2);
    for (std::size_t i = 0; i + 2 < lines.size(); ++i)
        ASSERT_EQ(controller.programFrames[i], expectedFrame(lines[i + 1])) << "record " << i;
}

void rewrite(const std::filesystem::path& file, std::size_t index, const std::string& line) {
    std::vector<std::string> lines = test::imageLines();
    lines[index] = line;
    std::string content;
    for (const auto& l : lines) content += l + "\r\n";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

/// Another image of the same records with other data, written at `file`.
void writeOther(const std::filesystem::path& file) {
    std::string content = kHeaderLine + "\r\n";
    for (std::uint32_t address = 0xE60000; address <= 0xE7FFC0; address += 64)
        content += dataLine(address, 0x33) + "\r\n";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content << kEndLine << "\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    All, ImageChangedDuringDownload,
    ::testing::Values(
        ChangedImageCase{"Removed", [](const auto& f) { std::filesystem::remove(f); }},
        ChangedImageCase{
            "BadChecksum",
            [](const auto& f) { rewrite(f, 4, dataLine(0xE7F0C0).substr(0, 139) + "X"); }},
        ChangedImageCase{"OtherData", [](const auto& f) { rewrite(f, 3, dataLine(0xE7F080, 9)); }},
        ChangedImageCase{"Truncated", [](const auto& f) { std::filesystem::resize_file(f, 600); }},
        // An image of more than one 64 KiB read of the file, changed while records go out.
        ChangedImageCase{"CutShortWhileProgramming",
                         [](const auto& f) { std::filesystem::resize_file(f, 100000); },
                         text::Programming, 0xE60000},
        ChangedImageCase{"WrittenOverWhileProgramming", [](const auto& f) { writeOther(f); },
                         text::Programming, 0xE60000},
        ChangedImageCase{"ReplacedWhileErasing",
                         [](const auto& f) {
                             const auto other = f.parent_path() / "other.shx";
                             writeOther(other);
                             std::filesystem::rename(other, f);
                         },
                         text::Erasing, 0xE60000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, AnObserverFailureEndsTheDownloadWithoutEscaping) {
    observer.onStatus = [](std::string_view text) {
        if (text == "Programming!") throw std::runtime_error("window gone");
    };
    EXPECT_NO_THROW(run(smallImage()));
    EXPECT_EQ(result.ending, Ending::UnexpectedError);
    EXPECT_EQ(result.lastStatus, "Download stopped: window gone");
    EXPECT_EQ(observer.last().text, "Download stopped: window gone");
    EXPECT_EQ(observer.last().severity, Severity::Error);
    EXPECT_EQ(controller.exits, 1);
    EXPECT_TRUE(observer.wentBusy());
    EXPECT_FALSE(downloader.busy());

    // Even an observer that fails again while the failure is reported leaves it usable.
    controller = test::Controller{};
    observer.onStatus = [](std::string_view text) {
        if (text != "Idle" && text != "Connecting") throw 42;
    };
    EXPECT_NO_THROW(run(smallImage()));
    EXPECT_EQ(controller.exits, 1);
    EXPECT_FALSE(downloader.busy());
    controller = test::Controller{};
    observer.onStatus = nullptr;
    EXPECT_EQ(run(smallImage()).ending, Ending::Done);
    EXPECT_EQ(observer.last().text, "Done!");
}

TEST_F(DownloadTest, ASecondDownloadStartedFromAProgressUpdateDoesNothing) {
    const auto file = smallImage();
    int nested = 0;
    observer.onProgress = [&] {
        if (nested++ == 0) {
            EXPECT_EQ(downloader.runDownload(file).ending, Ending::Busy);
        }
    };
    EXPECT_EQ(run(file).ending, Ending::Done);
    EXPECT_EQ(observer.last().text, "Done!");
    EXPECT_EQ(controller.probes, 2);
}

// Frames from an image line, worked out independently of the image layer.
Bytes expectedFrame(const std::string& line) {
    const auto byte = [&](std::size_t position) {
        return static_cast<std::uint8_t>(std::stoul(line.substr(position - 1, 2), nullptr, 16));
    };
    Bytes frame = {0x1B, 0x74, 0x43, byte(9), byte(7), byte(5)};
    for (std::size_t k = 0; k < 32; ++k) {
        frame.push_back(byte(13 + 4 * k));
        frame.push_back(byte(11 + 4 * k));
    }
    frame.push_back(0x04);
    unsigned sum = 0;
    for (std::uint8_t b : frame) sum += b;
    frame.push_back(static_cast<std::uint8_t>(sum % 256));
    frame.push_back(static_cast<std::uint8_t>(sum / 256 | 0x80));
    return frame;
}

class SrecCatDownload : public DownloadTest {
  protected:
    void SetUp() override {
        DownloadTest::SetUp();
        if (std::string(KORVATH_SREC_IMAGE).empty()) GTEST_SKIP() << "srec_cat not found";
    }
    // The build names the file in its own system's form; "/build/x.shx" has no drive on Windows.
    const std::filesystem::path image = std::filesystem::absolute(KORVATH_SREC_IMAGE);
};

TEST_F(SrecCatDownload, SendsEveryRecordByteForByteInUnderASecond) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(image).ending, Ending::Done);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(1));
    RecordProperty(
        "download_ms",
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_EQ(observer.last().text, "Done!");

    const image::ImageRead read = image::readImage(image);
    ASSERT_TRUE(read.image);
    std::vector<Bytes> expected;
    for (std::int32_t n = 2; n <= read.image->lineCount() && read.image->line(n).starts_with("S2");
         ++n)
        expected.push_back(expectedFrame(std::string(read.image->line(n))));
    ASSERT_EQ(expected.size(), 8192u);
    ASSERT_EQ(controller.programFrames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(controller.programFrames[i], expected[i]) << "record " << i;
}

TEST_F(SrecCatDownload, OneChangedChecksumDigitIsRefusedBeforeErasing) {
    std::ifstream in(image, std::ios::binary);
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t record = content.find("S244E7A000");
    ASSERT_NE(record, std::string::npos);
    content[record + 138] = content[record + 138] == '0' ? '1' : '0';
    EXPECT_EQ(run(dir.writeRaw("bad.shx", content)).ending, Ending::ImageRefused);
    EXPECT_EQ(observer.last().text, "Checksum Error");
    EXPECT_TRUE(controller.blankChecks.empty());
    EXPECT_TRUE(controller.erases.empty());
    EXPECT_TRUE(controller.programFrames.empty());
    EXPECT_EQ(controller.exits, 1);
}

}  // namespace
}  // namespace korvath::download
