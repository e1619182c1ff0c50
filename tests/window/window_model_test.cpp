// The window model without a face: every command in every state, then the rules that need a
// story (a port that will not open, downloads that fail, remembered settings, the file's
// facts). Downloads run against the simulated controller on the virtual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "image/image_files.h"
#include "sim/sim_port.h"
#include "support/virtual_clock.h"
#include "window/window_model.h"

namespace korvath::window {
namespace {

using std::filesystem::path;

/// Counts wakes; the test waits on it instead of a UI thread.
class TestFace final : public WindowFace {
  public:
    void wake() override {
        std::lock_guard lock(mutex_);
        ++wakes_;
        changed_.notify_all();
    }
    /// Waits for a wake after `seen` wakes; false after a minute (a hang).
    bool waitBeyond(int seen) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(1), [&] { return wakes_ > seen; });
    }
    int wakes() {
        std::lock_guard lock(mutex_);
        return wakes_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int wakes_ = 0;
};

/// "sim" opens a simulated controller with `options`; every other text fails as a missing
/// device does, with a reason longer than the status box.
class SimOpener final : public ports::PortOpener {
  public:
    sim::Options options;
    std::vector<std::string> opened;

    std::vector<ports::PortChoice> listChoices() override { return {}; }
    platform::Result<ports::OpenedPort> open(std::string_view text, link::Clock& clock) override {
        opened.emplace_back(text);
        if (text != "sim")
            return platform::Fault{platform::ErrorNumber::FileNotFound,
                                   "Port " + std::string(text) +
                                       " does not exist: no such device. Plug in the adapter "
                                       "or choose another port."};
        return ports::OpenedPort{std::make_unique<sim::SimPort>(options, clock)};
    }
};

class WindowModelTest : public ::testing::Test {
  protected:
    test::TempDir files;
    test::VirtualClock clock;
    SimOpener opener;
    MemorySettings settings;
    TestFace face;
    std::unique_ptr<WindowModel> model;
    /// Everything shown so far: boxes, beeps and status texts in order.
    std::vector<Message> boxes;
    std::vector<std::string> statuses;
    int beeps = 0;
    /// Boxes that wait for the face are answered at once unless this is false.
    bool answerBoxes = true;

    void make(image::Sha256Function sha256 = {}) {
        model.reset();
        model = std::make_unique<WindowModel>(
            Services{opener, settings, face, &clock, std::move(sha256), "Korvath"});
    }
    const State& state() const { return model->state(); }

    void take(const Effects& effects) {
        boxes.insert(boxes.end(), effects.messages.begin(), effects.messages.end());
        if (effects.beep) ++beeps;
        if (effects.statusShown) statuses.push_back(state().status);
        if (effects.awaitsAnswer && answerBoxes) model->answer();
    }
    /// Applies reports until `done` holds.
    void until(const std::function<bool(const Effects&)>& done) {
        for (;;) {
            const int seen = face.wakes();
            while (auto effects = model->poll()) {
                take(*effects);
                if (done(*effects)) return;
            }
            ASSERT_TRUE(face.waitBeyond(seen)) << "no report came";
        }
    }
    void untilPortReported() {
        until([](const Effects& e) { return e.portReported; });
    }
    void untilIdle() {
        until([this](const Effects&) { return !state().busy; });
    }

    path goodImage(const char* name = "APP.SHX") {
        return files.write(name, test::imageLines(0xE7FF00));
    }
    path misalignedImage() {
        std::vector<std::string> lines = test::imageLines(0xE7FF00);
        lines.insert(lines.begin() + 1, test::dataLine(0xE00010));
        return files.write("misaligned.SHX", lines);
    }
    path wrongImage() { return files.writeRaw("notes.txt", "hello\r\n"); }

    void openPort(const char* text = "sim") {
        model->setPortText(text);
        take(model->openPort());
        untilPortReported();
    }
};

enum class Start { Fresh, PortOpen, FileChosen, Ready, Refused, Busy };
enum class Command { OpenPort, ClosePort, ChooseFile, DropGood, DropWrong, Download };

struct Cell {
    Start start;
    Command command;
    const char* box;  ///< the start of the one box shown; null for none
    bool portOpen;
    const char* fileName;
    bool downloadEnabled;
};

std::ostream& operator<<(std::ostream& out, const Cell& cell) {
    return out << "start " << int(cell.start) << ", command " << int(cell.command);
}

class CommandTable : public WindowModelTest, public ::testing::WithParamInterface<Cell> {};

constexpr const char* kAlreadyOpen = "Port already open!";
constexpr const char* kNoPort = "No serial port defined";
constexpr const char* kWrongFormat = "Wrong file format";

// Download is enabled only with the port open and a file that passed the check; a file that
// is no image never replaces the one chosen; a running download ignores every command (and
// the row's last columns tell the state once it has ended).
const Cell kCells[] = {
    {Start::Fresh, Command::OpenPort, nullptr, true, "", false},
    {Start::Fresh, Command::ClosePort, nullptr, false, "", false},
    {Start::Fresh, Command::ChooseFile, nullptr, false, "", false},
    {Start::Fresh, Command::DropGood, nullptr, false, "APP.SHX", false},
    {Start::Fresh, Command::DropWrong, kWrongFormat, false, "", false},
    {Start::Fresh, Command::Download, kNoPort, false, "", false},
    {Start::PortOpen, Command::OpenPort, kAlreadyOpen, true, "", false},
    {Start::PortOpen, Command::ClosePort, nullptr, false, "", false},
    {Start::PortOpen, Command::ChooseFile, nullptr, true, "", false},
    {Start::PortOpen, Command::DropGood, nullptr, true, "APP.SHX", true},
    {Start::PortOpen, Command::DropWrong, kWrongFormat, true, "", false},
    {Start::PortOpen, Command::Download, nullptr, true, "", false},
    {Start::FileChosen, Command::OpenPort, nullptr, true, "APP.SHX", true},
    {Start::FileChosen, Command::ClosePort, nullptr, false, "APP.SHX", false},
    {Start::FileChosen, Command::ChooseFile, nullptr, false, "APP.SHX", false},
    {Start::FileChosen, Command::DropGood, nullptr, false, "APP.SHX", false},
    {Start::FileChosen, Command::DropWrong, kWrongFormat, false, "APP.SHX", false},
    {Start::FileChosen, Command::Download, kNoPort, false, "APP.SHX", false},
    {Start::Ready, Command::OpenPort, kAlreadyOpen, true, "APP.SHX", true},
    {Start::Ready, Command::ClosePort, nullptr, false, "APP.SHX", false},
    {Start::Ready, Command::ChooseFile, nullptr, true, "APP.SHX", true},
    {Start::Ready, Command::DropGood, nullptr, true, "APP.SHX", true},
    {Start::Ready, Command::DropWrong, kWrongFormat, true, "APP.SHX", true},
    {Start::Ready, Command::Download, nullptr, true, "APP.SHX", true},
    {Start::Refused, Command::OpenPort, kAlreadyOpen, true, "misaligned.SHX", false},
    {Start::Refused, Command::ClosePort, nullptr, false, "misaligned.SHX", false},
    {Start::Refused, Command::ChooseFile, nullptr, true, "misaligned.SHX", false},
    {Start::Refused, Command::DropGood, nullptr, true, "APP.SHX", true},
    {Start::Refused, Command::DropWrong, kWrongFormat, true, "misaligned.SHX", false},
    {Start::Refused, Command::Download, nullptr, true, "misaligned.SHX", false},
    {Start::Busy, Command::OpenPort, nullptr, true, "APP.SHX", true},
    {Start::Busy, Command::ClosePort, nullptr, true, "APP.SHX", true},
    {Start::Busy, Command::ChooseFile, nullptr, true, "APP.SHX", true},
    {Start::Busy, Command::DropGood, nullptr, true, "APP.SHX", true},
    {Start::Busy, Command::DropWrong, nullptr, true, "APP.SHX", true},
    {Start::Busy, Command::Download, nullptr, true, "APP.SHX", true},
};

INSTANTIATE_TEST_SUITE_P(EveryCommandInEveryState, CommandTable, ::testing::ValuesIn(kCells));

TEST_P(CommandTable, ShowsWhatTheCommandDid) {
    const Cell& cell = GetParam();
    opener.options.card = cell.start == Start::Busy;  // the card box holds the download
    make();
    if (cell.start != Start::Fresh && cell.start != Start::FileChosen) openPort();
    if (cell.start == Start::Refused) take(model->dropFile(misalignedImage()));
    if (cell.start == Start::FileChosen || cell.start == Start::Ready || cell.start == Start::Busy)
        take(model->dropFile(goodImage()));
    if (cell.start == Start::Busy) {
        answerBoxes = false;
        take(model->download());
        until([](const Effects& e) { return e.awaitsAnswer; });
        ASSERT_TRUE(state().busy);
        EXPECT_FALSE(model->mayClose());
    }
    boxes.clear();
    const State before = state();

    Effects effects;
    switch (cell.command) {
        case Command::OpenPort:
            model->setPortText("sim");
            effects = model->openPort();
            break;
        case Command::ClosePort:
            effects = model->closePort();
            break;
        case Command::ChooseFile:
            effects = model->chooseFile();
            // Busy: no dialog. Otherwise it opens and is cancelled, which changes nothing.
            EXPECT_EQ(effects.dialogAt.has_value(), cell.start != Start::Busy);
            take(effects);
            effects = model->fileChosen(std::nullopt);
            break;
        case Command::DropGood:
            effects = model->dropFile(goodImage());
            break;
        case Command::DropWrong:
            effects = model->dropFile(wrongImage());
            EXPECT_FALSE(effects.dialogAt.has_value()) << "a drop opens no dialog";
            break;
        case Command::Download:
            effects = model->download();
            break;
    }
    take(effects);
    if (cell.start == Start::Busy) {
        EXPECT_TRUE(effects.empty());
        EXPECT_EQ(state().enabled, before.enabled);
        EXPECT_EQ(state().status, before.status);
        EXPECT_EQ(state().enabled, Enabled({false, false, false, false, false}));
        answerBoxes = true;
        model->answer();
        untilIdle();
        EXPECT_EQ(state().status, "Done!");
        EXPECT_EQ(opener.opened.size(), 1u);
    } else if (cell.command == Command::OpenPort && !before.portOpen) {
        untilPortReported();
    } else if (cell.command == Command::ClosePort) {
        untilPortReported();
    } else if (cell.command == Command::Download && before.enabled.download) {
        EXPECT_TRUE(state().busy);
        EXPECT_FALSE(model->mayClose());
        untilIdle();
        EXPECT_EQ(statuses.back(), "Done!");
        EXPECT_EQ(beeps, 1);
    }

    if (cell.box == nullptr) {
        EXPECT_TRUE(boxes.empty()) << boxes.front().text;
    } else {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes.front().text.rfind(cell.box, 0), 0u) << boxes.front().text;
    }
    EXPECT_EQ(state().portOpen, cell.portOpen);
    EXPECT_EQ(state().fileName, cell.fileName);
    EXPECT_EQ(state().enabled.download, cell.downloadEnabled);
    EXPECT_EQ(state().enabled.openPort, !cell.portOpen);
    EXPECT_EQ(state().enabled.closePort, cell.portOpen);
    EXPECT_TRUE(model->mayClose());
}

// The whole reason is on the details line; the status box and the port label show it too.
TEST_F(WindowModelTest, PortThatWillNotOpen) {
    make();
    openPort("/dev/ttyUSB0");
    EXPECT_FALSE(state().portOpen);
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(state().severity, Severity::Error);
    EXPECT_EQ(state().details, state().portError);
    EXPECT_NE(state().details.find("Plug in the adapter or choose another port."),
              std::string::npos);
    EXPECT_TRUE(settings.load().portText.empty()) << "only a port that opened is remembered";

    openPort("sim");
    EXPECT_TRUE(state().portOpen);
    EXPECT_EQ(state().status, "Idle");
    EXPECT_EQ(state().severity, Severity::Normal);
    EXPECT_TRUE(state().details.empty());
    EXPECT_TRUE(state().portError.empty());
    EXPECT_EQ(settings.load().portText, "sim");
}

// What a technician is told after a download that failed, and after one that worked.
struct Failure {
    const char* name;
    std::function<void(sim::Options&)> fault;
    const char* status;
    const char* details;           ///< the start of the details line; null: the file's facts
    const char* barTip = nullptr;  ///< the start of the bar's tool tip at the end, when given
};

std::ostream& operator<<(std::ostream& out, const Failure& failure) {
    return out << failure.name;
}

class DownloadEnding : public WindowModelTest, public ::testing::WithParamInterface<Failure> {};

INSTANTIATE_TEST_SUITE_P(
    Endings, DownloadEnding,
    ::testing::Values(
        Failure{"Done", [](sim::Options&) {}, "Done!", nullptr},
        Failure{"Silent", [](sim::Options& o) { o.silent = true; }, "Connection Error",
                "No controller answered on sim. Check that the controller is powered, the cable is "
                "plugged in at both ends, the programming card is in the controller, and "
                "the port is the controller's (the port box lists the ports found)."},
        Failure{"NakAfterErasing", [](sim::Options& o) { o.nakProgram = 1; }, "Flash Error",
                "The flash is incomplete: run the download again"},
        // Records come faster than the bar is redrawn; the bar still ends on the last one.
        Failure{"NakOnTheThirdRecord", [](sim::Options& o) { o.nakProgram = 3; }, "Flash Error",
                "The flash is incomplete: run the download again", "2 of 4 records, "},
        Failure{"WrongPassword", [](sim::Options& o) { o.refusePasswords = true; },
                "Wrong Password", nullptr}),
    [](const auto& info) { return info.param.name; });

TEST_P(DownloadEnding, DetailsSayWhatToDo) {
    GetParam().fault(opener.options);
    make();
    openPort();
    take(model->dropFile(goodImage()));
    statuses.clear();
    take(model->download());
    untilIdle();
    EXPECT_EQ(statuses.front(), "Idle");
    EXPECT_EQ(statuses.back(), GetParam().status);
    const std::string details = GetParam().details ? GetParam().details : state().fileTip;
    EXPECT_EQ(state().details.rfind(details, 0), 0u) << state().details;
    if (GetParam().barTip) {
        EXPECT_EQ(state().barTip.rfind(GetParam().barTip, 0), 0u) << state().barTip;
    }
    EXPECT_EQ(beeps, 1);
    EXPECT_FALSE(state().busyPointer);
    EXPECT_TRUE(state().enabled.download);
}

// A refused image shows its line and reason; the file's facts are in its tool tip either way.
TEST_F(WindowModelTest, FileFactsAndRefusals) {
    make([](std::string_view) {
        image::Sha256Digest digest{};
        for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = std::uint8_t(0x10 + i);
        return digest;
    });
    const path good = goodImage();
    take(model->dropFile(good));
    EXPECT_EQ(state().check, FileCheck::Accepted);
    EXPECT_EQ(state().fileTip, good.string() + "\n4 records, SHA-256 1011121314151617");
    EXPECT_EQ(state().details, state().fileTip);

    const path misaligned = misalignedImage();
    take(model->dropFile(misaligned));
    EXPECT_EQ(state().check, FileCheck::Refused);
    EXPECT_EQ(state().status, "Misaligned record");
    EXPECT_EQ(state().severity, Severity::Error);
    EXPECT_EQ(state().details,
              misaligned.string() +
                  "\nline 2: the record at E00010 does not begin on a 64-byte boundary");
    EXPECT_EQ(state().fileTip.rfind(misaligned.string() + "\n5 records", 0), 0u);

    // A file that is no image is named with what was expected; the refused file stays.
    const path wrong = files.writeRaw("lower case.shx", "s0\r\n");
    const path missing = files.path() / "gone.shx";
    Effects effects = model->fileChosen(wrong);
    ASSERT_EQ(effects.messages.size(), 1u);
    EXPECT_EQ(effects.messages.front(),
              (Message{Icon::Warning, "File format check",
                       "Wrong file format\n\n" + quotedPath(wrong) +
                           "\nExpected an image whose first line begins with S0."}));
    EXPECT_EQ(quotedPath(path("we\"ird\n\\.shx")), "\"we\\\"ird\\x0A\\\\.shx\"");
    EXPECT_EQ(effects.dialogAt, wrong) << "the dialog opens again where it was";
    effects = model->fileChosen(missing);
    ASSERT_EQ(effects.messages.size(), 1u);
    EXPECT_NE(effects.messages.front().text.find("cannot be read"), std::string::npos);
    EXPECT_EQ(state().image, misaligned);
    EXPECT_EQ(state().status, "Misaligned record");
}

// The first line decides whether a file is an image at all: "S0" at its start, exact case.
struct Header {
    const char* name;
    std::string content;
    bool image;
    friend void PrintTo(const Header& h, std::ostream* os) { *os << h.name; }
};

class HeaderRule : public WindowModelTest, public ::testing::WithParamInterface<Header> {};

INSTANTIATE_TEST_SUITE_P(
    FirstLines, HeaderRule,
    ::testing::Values(Header{"HeaderCrLf", "S00600004844521B\r\nS8\r\n", true},
                      Header{"HeaderLf", "S00600004844521B\nS8\n", true},
                      Header{"JustS0", "S0", true},
                      Header{"LowerCaseS0", "s00600004844521B\r\n", false},
                      Header{"FirstLineTooShort", "S\r\n0\r\n", false},
                      Header{"EmptyFirstLine", "\r\nS00600004844521B\r\n", false},
                      Header{"S2First", "S2440000\r\n", false}, Header{"EmptyFile", "", false},
                      Header{"Binary", std::string("\x00\x01S0", 4), false}),
    [](const auto& info) { return info.param.name; });

TEST_P(HeaderRule, DecidesWhetherTheFileIsChosen) {
    make();
    const path file = files.writeRaw("image.SHX", GetParam().content);
    const Effects effects = model->fileChosen(file);
    EXPECT_EQ(state().fileName, GetParam().image ? "image.SHX" : "");
    EXPECT_EQ(effects.dialogAt.has_value(), !GetParam().image) << "a refusal asks again";
    ASSERT_EQ(effects.messages.size(), GetParam().image ? 0u : 1u);
    if (!GetParam().image) {
        EXPECT_EQ(effects.messages.front().icon, Icon::Warning);
        EXPECT_EQ(effects.messages.front().title, "File format check");
    }
}

// The port text, the folder and the image come back at the next start; the port stays shut.
TEST_F(WindowModelTest, RemembersBetweenRuns) {
    make();
    EXPECT_TRUE(model->start().empty());
    EXPECT_EQ(state().portText, "1");
    EXPECT_EQ(model->chooseFile().dialogAt, path());
    openPort();
    const path image = goodImage("sub/LAST.SHX");
    take(model->fileChosen(image));
    EXPECT_EQ(settings.load(), (Remembered{"sim", image.parent_path(), image}));

    make();
    take(model->start());
    EXPECT_EQ(state().portText, "sim");
    EXPECT_FALSE(state().portOpen);
    EXPECT_EQ(state().image, image);
    EXPECT_EQ(state().check, FileCheck::Accepted);
    EXPECT_EQ(opener.opened.size(), 1u) << "the port is never opened by itself";

    // A file named on the command line wins; a remembered image that is gone is not chosen.
    // It may be relative to the current folder; the download gets its full path.
    make();
    const path given = goodImage("GIVEN.SHX");
    const path here = std::filesystem::current_path();
    std::filesystem::current_path(files.path());
    take(model->start("GIVEN.SHX"));
    std::filesystem::current_path(here);
    EXPECT_EQ(state().fileName, "GIVEN.SHX");
    EXPECT_EQ(state().image, given);
    std::filesystem::remove(given);
    make();
    take(model->start());
    EXPECT_EQ(state().check, FileCheck::None);
    EXPECT_EQ(model->chooseFile().dialogAt, files.path()) << "the dialog starts in the folder";
}

}  // namespace
}  // namespace korvath::window
