// The window model without a face: every command in every state, then the rules that need a
// story (a port that will not open, downloads that fail, remembered settings, the file's
// facts). Downloads run against the simulated controller on the virtual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "image/image_files.h"
#include "sim/sim_port.h"
#include "support/virtual_clock.h"
#include "window/effects_guard.h"
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

/// Holds the download thread before it writes the request whose command byte is `holdAt` (the
/// probe byte, or the letter after a frame's escape), once, until the test releases it: the
/// test then acts while the download stands in that phase.
struct Hold {
    int holdAt = -1;
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;

    void at(std::span<const std::uint8_t> bytes) {
        if (bytes.empty()) return;
        const int command = bytes[0] == 0x1B && bytes.size() > 1 ? bytes[1] : bytes[0];
        std::unique_lock lock(mutex);
        if (command != holdAt || holding) return;
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::minutes(1), [this] { return released; });
    }
    bool waitHeld() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::minutes(1), [this] { return holding; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

class HeldPort final : public link::Port {
  public:
    HeldPort(std::unique_ptr<sim::SimPort> port, Hold& hold)
        : port_(std::move(port)), hold_(hold) {}
    [[nodiscard]] bool isOpen() const override { return port_->isOpen(); }
    platform::Result<void> discardInput() override { return port_->discardInput(); }
    platform::Result<void> write(std::span<const std::uint8_t> bytes) override {
        hold_.at(bytes);
        return port_->write(bytes);
    }
    [[nodiscard]] platform::Result<int> bytesWaiting() override { return port_->bytesWaiting(); }
    platform::Result<int> waitForBytes(int known, double timeoutMs) override {
        return port_->waitForBytes(known, timeoutMs);
    }
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        return port_->readAll(out);
    }
    void close() override { port_->close(); }

  private:
    std::unique_ptr<sim::SimPort> port_;
    Hold& hold_;
};

/// "sim" opens a simulated controller with `options`; every other text fails as a missing
/// device does, with a reason longer than the status box.
class SimOpener final : public ports::PortOpener {
  public:
    sim::Options options;
    std::vector<std::string> opened;
    Hold hold;
    /// The controller opened last; it lives as long as the model keeps the port.
    sim::SimPort* last = nullptr;

    std::vector<ports::PortChoice> listChoices() override { return {}; }
    platform::Result<ports::OpenedPort> open(std::string_view text, link::Clock& clock) override {
        opened.emplace_back(text);
        if (text != "sim")
            return platform::Fault{platform::ErrorNumber::FileNotFound,
                                   "Port " + std::string(text) +
                                       " does not exist: no such device. Plug in the adapter "
                                       "or choose another port."};
        auto port = std::make_unique<sim::SimPort>(options, clock);
        last = port.get();
        if (hold.holdAt >= 0)
            return ports::OpenedPort{std::make_unique<HeldPort>(std::move(port), hold)};
        return ports::OpenedPort{std::move(port)};
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
    int closes = 0;  ///< effects that closed the window
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
        if (effects.close) ++closes;
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
        EXPECT_EQ(state().enabled, Enabled({false, false, false, false, false, true}));
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
        // The simulated controller restarts into its application, as a real one does.
        Failure{"Done", [](sim::Options&) {}, "Done!",
                "The simulated controller restarted into its application, as a real one does. "
                "Close then Open the port for a fresh one in its bootloader"},
        Failure{"DoneWithTheCardIn", [](sim::Options& o) { o.card = true; }, "Done!", nullptr},
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
    take(model->dropFile(misalignedImage()));
    EXPECT_EQ(state().barValue, 0) << "a refused file leaves the bar of the download before";
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
    EXPECT_EQ(quotedPath(path("we\"ird\n\\.shx")), "\"we\\\"ird\\n\\\\.shx\"");
#if defined(_WIN32)
    // Windows names are UTF-16, so no byte stands alone there: a control character still shows.
    EXPECT_EQ(quotedPath(path(L"\x1b.shx")), "\"\\x1b.shx\"");
#else
    EXPECT_EQ(quotedPath(path("\xff\x1b.shx")), "\"\\xff\\x1b.shx\"");
#endif
    EXPECT_EQ(effects.dialogAt, wrong) << "the dialog opens again where it was";
    effects = model->fileChosen(missing);
    ASSERT_EQ(effects.messages.size(), 1u);
    EXPECT_EQ(effects.messages.front().text.rfind("File not found\n\n", 0), 0u);
    effects = model->fileChosen(files.path());
    ASSERT_EQ(effects.messages.size(), 1u);
    EXPECT_EQ(effects.messages.front().text.rfind("Not a file\n\n", 0), 0u);
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

// The file is read again at Download: a file replaced since its check is not sent. It is
// checked afresh and shown, and only the next Download writes it.
struct Change {
    const char* name;
    std::vector<std::string> lines;
    const char* details;  ///< the start of the line after the path
};

std::ostream& operator<<(std::ostream& out, const Change& change) {
    return out << change.name;
}

class FileChange : public WindowModelTest, public ::testing::WithParamInterface<Change> {};

INSTANTIATE_TEST_SUITE_P(
    Replaced, FileChange,
    ::testing::Values(Change{"SameSizeOtherBytes",
                             {test::kHeaderLine, test::dataLine(0xE7FF00, 7),
                              test::dataLine(0xE7FF40), test::dataLine(0xE7FF80),
                              test::dataLine(0xE7FFC0), test::kEndLine},
                             "4 records"},
                      Change{"OtherSize", test::imageLines(0xE7FE00), "8 records"},
                      Change{"NowRefused",
                             {test::kHeaderLine, test::dataLine(0xE7FF00), test::dataLine(0xE7FF10),
                              test::kEndLine},
                             "line 3: the record at E7FF10"}),
    [](const auto& info) { return info.param.name; });

TEST_P(FileChange, NothingIsSentUntilTheNewContentIsShown) {
    make();
    openPort();
    const path image = goodImage();
    take(model->dropFile(image));
    files.write("APP.SHX", GetParam().lines);

    take(model->download());
    EXPECT_FALSE(state().busy);
    EXPECT_EQ(opener.last->controller().counters().probes, 0) << "the controller was touched";
    const std::string shown = image.string() + "\n" + GetParam().details;
    EXPECT_EQ(state().details.rfind(shown, 0), 0u) << state().details;
    EXPECT_NE(state().details.find("The file changed since it was checked: nothing was "
                                   "downloaded."),
              std::string::npos);
    const bool refused = GetParam().lines.size() == 4;
    EXPECT_EQ(state().check, refused ? FileCheck::Refused : FileCheck::Accepted);
    EXPECT_EQ(state().enabled.download, !refused);
    if (refused) return;

    take(model->download());
    untilIdle();
    EXPECT_EQ(statuses.back(), "Done!");
    const auto& flash = opener.last->controller();
    EXPECT_EQ(flash.counters().programs, GetParam().lines.size() - 2);
    if (GetParam().name == std::string("SameSizeOtherBytes")) {
        EXPECT_EQ(flash.readFlash(0xE7FF00), 7) << "the old bytes were written";
    }
}

// Stop, and the close button answered either way, in every phase of a download: a stop ends it
// at the next exchange with the exit frame once the password had passed, "Cancelled" and what
// the flash holds now; the window closes once the exit frame is out.
enum class Ending { Stop, CloseAndStop, CloseAndKeep };

struct StopCase {
    const char* name;
    std::uint8_t phase;  ///< the command byte the download stands before
    Ending ending;
    int exits;
    const char* details;  ///< the start of the details line
};

std::ostream& operator<<(std::ostream& out, const StopCase& stop) {
    return out << stop.name;
}

class StopTable : public WindowModelTest, public ::testing::WithParamInterface<StopCase> {};

constexpr const char* kUnchanged =
    "Cancelled before the password was accepted: the controller's "
    "flash is unchanged.";
constexpr const char* kIncomplete =
    "Cancelled after erasing began: the controller left programming mode. The flash is "
    "incomplete: run the download again";

INSTANTIATE_TEST_SUITE_P(
    Phases, StopTable,
    ::testing::Values(
        StopCase{"Connect", 0x90, Ending::Stop, 0, kUnchanged},
        StopCase{"Password", 0x73, Ending::Stop, 1,
                 "Cancelled before erasing: the controller left programming mode and its flash "
                 "is unchanged."},
        StopCase{"Erase", 0x77, Ending::Stop, 1, kIncomplete},
        StopCase{"Program", 0x74, Ending::Stop, 1, kIncomplete},
        StopCase{"ResetWait", 0x7E, Ending::Stop, 1,
                 "Cancelled in the reset wait: the image was written completely"},
        StopCase{"CloseInConnect", 0x90, Ending::CloseAndStop, 0, kUnchanged},
        StopCase{"CloseInProgram", 0x74, Ending::CloseAndStop, 1, kIncomplete},
        StopCase{"CloseKeptInProgram", 0x74, Ending::CloseAndKeep, 1,
                 "The simulated controller restarted"}),
    [](const auto& info) { return info.param.name; });

TEST_P(StopTable, EndsAtTheNextExchange) {
    const StopCase& row = GetParam();
    opener.hold.holdAt = row.phase;
    make();
    openPort();
    take(model->dropFile(goodImage()));
    take(model->download());
    ASSERT_TRUE(opener.hold.waitHeld()) << "the download never reached its phase";
    EXPECT_TRUE(state().enabled.stop);
    EXPECT_FALSE(model->mayClose());
    if (row.ending == Ending::Stop) {
        take(model->stop());
    } else {
        const Effects asked = model->closeRequested();
        ASSERT_TRUE(asked.closeQuestion.has_value());
        EXPECT_EQ(asked.closeQuestion->text, "A download is running. Stop it and close?");
        EXPECT_FALSE(asked.close);
        take(model->closeAnswered(row.ending == Ending::CloseAndStop));
    }
    EXPECT_EQ(state().enabled.stop, row.ending == Ending::CloseAndKeep);
    EXPECT_EQ(closes, 0) << "closed before the download ended";
    opener.hold.release();
    untilIdle();

    const bool kept = row.ending == Ending::CloseAndKeep;
    EXPECT_EQ(statuses.back(), kept ? "Done!" : "Cancelled");
    EXPECT_EQ(state().lastEnding,
              kept ? korvath::download::Ending::Done : korvath::download::Ending::Cancelled);
    EXPECT_EQ(state().severity, kept ? Severity::Normal : Severity::Error);
    EXPECT_EQ(opener.last->controller().counters().exits, row.exits);
    EXPECT_EQ(state().details.rfind(row.details, 0), 0u) << state().details;
    EXPECT_EQ(closes, row.ending == Ending::CloseAndStop ? 1 : 0);
    EXPECT_FALSE(state().enabled.stop);
    EXPECT_TRUE(model->closeRequested().close);

    // The next download runs as usual: the stop was for that one only.
    if (kept) return;
    opener.hold.holdAt = -1;
    take(model->closePort());
    untilPortReported();
    openPort();
    take(model->download());
    untilIdle();
    EXPECT_EQ(statuses.back(), "Done!");
    EXPECT_EQ(state().lastEnding, korvath::download::Ending::Done);
}

// A face's boxes run their own event loop: a report or a close that arrives there waits until
// the outermost showing ends, and the face is woken for it then, once.
TEST(EffectsGuard, HoldsWhatArrivesWhileEffectsAreShown) {
    TestFace face;
    EffectsGuard guard(face);
    EXPECT_TRUE(guard.mayPoll());
    {
        const EffectsGuard::Showing outer(guard);
        EXPECT_FALSE(guard.mayAskToClose());
        {
            const EffectsGuard::Showing nested(guard);
            EXPECT_FALSE(guard.mayPoll());
            EXPECT_FALSE(guard.mayPoll());
        }
        EXPECT_TRUE(guard.showing());
        EXPECT_EQ(face.wakes(), 0);
    }
    EXPECT_EQ(face.wakes(), 1);
    EXPECT_TRUE(guard.mayAskToClose());
    { const EffectsGuard::Showing quiet(guard); }
    EXPECT_EQ(face.wakes(), 1);
    EXPECT_TRUE(guard.mayPoll());
}

}  // namespace
}  // namespace korvath::window
