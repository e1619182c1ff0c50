// The production line's pieces: the audit line, the JSON events, the board line's width, the
// stop request, and station mode on simulated units that come and go on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "download/downloader.h"
#include "image/image_files.h"
#include "line/audit_log.h"
#include "line/json_observer.h"
#include "line/line_console.h"
#include "line/run.h"
#include "line/station.h"
#include "line/tally.h"
#include "link/clock.h"
#include "sim/sim_port.h"
#include "support/virtual_clock.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvath::line {
namespace {

using nlohmann::json;

json parsed(const std::string& line) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    return json::parse(line, nullptr, false);
}

const auto kWhen = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796648709123));

/// An event as written: one line, stamped with kWhen.
json written(Event event) {
    json object = parsed(eventLine(std::move(event), kWhen));
    EXPECT_EQ(object["time"], "2026-12-07T13:05:09.123Z");
    return object;
}

std::string keys(const json& object) {
    std::string text;
    for (const auto& [key, value] : object.items()) text += (text.empty() ? "" : ",") + key;
    return text;
}

UnitRecord sampleRecord() {
    UnitRecord record;
    record.runId = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
    record.started = kWhen;
    record.finished = record.started + std::chrono::milliseconds(21500);
    record.host = "bench-1";
    record.port = "/dev/ttyUSB0";
    record.image = "/images/app \"v2\".shx";
    record.imageSha256 = std::string(64, 'a');
    record.records = 65;
    record.result = "Flash Error";
    record.exit = 1;
    record.seconds = 21.5004;
    record.errors = {"3 - Timeout", "0 - Programming Card check"};
    record.version = "1.0.0";
    return record;
}

TEST(AuditLine, HasExactlyTheKeysWithTheirValues) {
    UnitRecord record = sampleRecord();
    json object = parsed(auditLine(record));
    EXPECT_EQ(keys(object),
              "advice,errors,exit,finished,host,image,image_sha256,model,port,records,"
              "result,run_id,seconds,started,tags,unit,version");
    EXPECT_EQ(object["started"], "2026-12-07T13:05:09.123Z");
    EXPECT_EQ(object["finished"], "2026-12-07T13:05:30.623Z");
    EXPECT_EQ(object["image"], "/images/app \"v2\".shx");
    EXPECT_TRUE(object["model"].is_null());
    EXPECT_EQ(object["records"], 65);
    EXPECT_EQ(object["exit"], 1);
    EXPECT_DOUBLE_EQ(object["seconds"].get<double>(), 21.5);
    EXPECT_EQ(object["errors"][0], "3 - Timeout");
    EXPECT_EQ(object["tags"], json::object());
    EXPECT_EQ(object["unit"], 1);

    // The detail of a refused record, the advice, the unit's identity; names that are not
    // UTF-8 keep their bytes visible, so that two of them never read alike.
    record.model = 3;
    record.unit = 2;
    record.refusedRecord = RefusedRecord{7, 0xE00140};
    record.refusal = ImageRefusal{12, "the record at E90000 lies beyond the flash"};
    record.advice = {"The controller's flash is incomplete."};
    record.tags = {{"operator", "kim"}, {"batch", "B-17"}};
    record.serial =
        "SN\xFF"
        "0042";
    record.port = "/dev/\xE4";
    // A path is text in the system's own encoding (UTF-16 on Windows): only its line break
    // is hostile here.
    record.image = "/images/app\n.shx";
    object = parsed(auditLine(record));
    EXPECT_EQ(object.size(), 20u);
    EXPECT_EQ(object["model"], 3);
    EXPECT_EQ(object["unit"], 2);
    EXPECT_EQ(object["refused_record"], json({{"line", 7}, {"address", "E00140"}}));
    EXPECT_EQ(object["refusal"]["line"], 12);
    EXPECT_EQ(object["advice"][0], "The controller's flash is incomplete.");
    EXPECT_EQ(object["tags"], json({{"operator", "kim"}, {"batch", "B-17"}}));
    EXPECT_EQ(object["serial"], "SN\\xff0042");
    EXPECT_EQ(object["port"], "/dev/\\xe4");
    EXPECT_EQ(object["image"], "/images/app\n.shx");
}

// Scripts read these lines as text too: keys in alphabetical order, no spaces, a whole number
// of seconds without a fraction, control characters as \u00XX, and a byte that is not UTF-8
// kept visible.
TEST(AuditLine, IsWrittenExactlySo) {
    UnitRecord record = sampleRecord();
    record.seconds = 21.0004;
    record.errors = {"57 - Port \x01\xff lost"};
    record.model = 2;
    EXPECT_EQ(auditLine(record),
              "{\"advice\":[],\"errors\":[\"57 - Port \\u0001\\\\xff lost\"],\"exit\":1,"
              "\"finished\":\"2026-12-07T13:05:30.623Z\",\"host\":\"bench-1\","
              "\"image\":\"/images/app \\\"v2\\\".shx\",\"image_sha256\":\"" +
                  std::string(64, 'a') +
                  "\",\"model\":2,\"port\":\"/dev/ttyUSB0\",\"records\":65,"
                  "\"result\":\"Flash Error\","
                  "\"run_id\":\"7c9e6679-7425-40de-944b-e07fc1f90ae7\",\"seconds\":21,"
                  "\"started\":\"2026-12-07T13:05:09.123Z\",\"tags\":{},\"unit\":1,"
                  "\"version\":\"1.0.0\"}\n");
    record.seconds = 0.0996;
    EXPECT_NE(auditLine(record).find("\"seconds\":0.1,"), std::string::npos);

    // A run id is a random UUID: its version and variant bits are set whatever the bytes.
    std::array<std::uint8_t, 16> bytes{};
    EXPECT_EQ(uuidText(bytes), "00000000-0000-4000-8000-000000000000");
    bytes.fill(0xFF);
    EXPECT_EQ(uuidText(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    EXPECT_NE(newRunId(), newRunId());
}

TEST(AuditLog, ThreadsAppendWholeLinesAfterWhatWasThere) {
    const auto path =
        std::filesystem::temp_directory_path() /
        ("korvath-line-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         ".jsonl");
    std::filesystem::remove(path);
    std::ofstream(path) << "{\"earlier\":1}\n";
    platform::Result<std::unique_ptr<AuditLog>> opened = AuditLog::open(path);
    ASSERT_TRUE(opened) << opened.fault().text;
    std::unique_ptr<AuditLog> log = std::move(*opened);
    constexpr int kThreads = 8;
    constexpr int kEach = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            UnitRecord record = sampleRecord();
            record.port = "port-" + std::to_string(t) + std::string(300, 'x');
            for (int i = 0; i < kEach; ++i) {
                record.unit = i + 1;
                EXPECT_TRUE(log->append(record));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    log.reset();

    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "{\"earlier\":1}");
    int lines = 0;
    while (std::getline(in, line)) {
        EXPECT_EQ(parsed(line + "\n").size(), 17u);
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kEach);
    // Windows removes no file that is still open.
    in.close();
    std::filesystem::remove(path);
}

TEST(AuditLog, RefusesWhatCannotBeWritten) {
    const auto folder = AuditLog::open(std::filesystem::temp_directory_path());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.fault().text, "is a folder");
    const auto missing = AuditLog::open("/nonexistent-korvath-folder/log.jsonl");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.fault().text, "No such file or directory");
}

TEST(JsonEvents, EveryKindParsesAndNamesItsPortAndTime) {
    const json status =
        written(statusEvent("COM3", std::nullopt, "Flash Error", download::Severity::Error));
    EXPECT_EQ(status["event"], "status");
    EXPECT_EQ(status["port"], "COM3");
    EXPECT_EQ(status["severity"], "error");
    EXPECT_FALSE(status.contains("unit"));

    // The records sent of the image's records, not the bar's steps.
    const json progress = written(progressEvent("sim:2", 4,
                                                {.done = 9,
                                                 .total = 56,
                                                 .phase = download::Phase::Programming,
                                                 .count = download::Count::Record,
                                                 .step = 7,
                                                 .steps = 65}));
    EXPECT_EQ(progress["phase"], "programming");
    EXPECT_EQ(progress["counts"], "record");
    EXPECT_EQ(progress["done"], 7);
    EXPECT_EQ(progress["total"], 65);
    EXPECT_EQ(progress["unit"], 4);

    const json error = written(
        errorEvent("a\"b\x1b", std::nullopt, platform::faultOf(platform::ErrorNumber::DeviceIo)));
    EXPECT_EQ(error["port"], "a\"b\x1b");
    EXPECT_EQ(error["number"], 57);

    const json explanation = written(explanationEvent("p", std::nullopt, "line 6: checksum"));
    EXPECT_EQ(explanation["text"], "line 6: checksum");

    UnitRecord record = sampleRecord();
    record.model = 1;
    record.refusedRecord = RefusedRecord{9, 0xE001C0};
    record.advice = {"Run the download again."};
    record.tags = {{"batch", "7"}};
    const json result = written(resultEvent(record));
    EXPECT_EQ(keys(result),
              "advice,errors,event,exit,model,port,refused_record,result,scope,seconds,tags,time");
    EXPECT_EQ(result["scope"], "unit");
    EXPECT_EQ(result["result"], "Flash Error");
    EXPECT_EQ(result["exit"], 1);
    EXPECT_EQ(result["model"], 1);
    EXPECT_EQ(result["refused_record"]["address"], "E001C0");
    EXPECT_EQ(result["tags"]["batch"], "7");

    // The run's own ending, for a refused image with its line and reason.
    const json run = written(runResultEvent({.exit = 3,
                                             .result = "Checksum Error",
                                             .reason = "image x refused: Checksum Error",
                                             .line = 6,
                                             .tags = {{"operator", "kim"}}}));
    EXPECT_EQ(keys(run), "event,exit,failed,line,passed,reason,result,scope,tags,time");
    EXPECT_EQ(run["scope"], "run");
    EXPECT_EQ(run["line"], 6);
    EXPECT_EQ(run["exit"], 3);
}

// --tag KEY=VALUE: the value may hold anything, even '='; the key is a plain word, given once.
TEST(Tags, KeyValuePairsInTheirOrder) {
    const ParsedTags good = parseTags({"operator=Kim Lee", "batch=B=17", "fixture.id=3", "x="});
    ASSERT_TRUE(good.checked) << good.checked.fault().text;
    EXPECT_EQ(good.tags,
              (Tags{{"operator", "Kim Lee"}, {"batch", "B=17"}, {"fixture.id", "3"}, {"x", ""}}));
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"operator"},
                                                {"=kim"},
                                                {"op er=kim"},
                                                {"a\nb=1"},
                                                {"op=1", "op=2"}}) {
        EXPECT_FALSE(parseTags(bad).checked) << bad.front();
    }
    EXPECT_EQ(parseTags({"op=1", "bad"}).tags, (Tags{{"op", "1"}})) << "named in the refusal";
    EXPECT_EQ(parseTags({"a\x1b=1"}).checked.fault().text,
              "--tag a\\x1b=1: give KEY=VALUE, the key made of letters, digits, '_', '-' or '.'");
}

TEST(JsonObserver, RepeatsNoProgressAndNeverPrompts) {
    std::FILE* out = std::tmpfile();
    {
        EventStream stream(out);
        JsonObserver observer(stream, "p", std::nullopt);
        const download::Progress step{.done = 1,
                                      .total = 9,
                                      .phase = download::Phase::Erasing,
                                      .count = download::Count::Sector,
                                      .step = 1,
                                      .steps = 8};
        observer.showProgress(step);
        observer.showProgress(step);
        observer.askToRemoveProgrammingCard();
    }
    std::rewind(out);
    std::vector<std::string> lines;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out)) lines.emplace_back(buffer);
    std::fclose(out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(parsed(lines[1])["text"], kCardStatus);
    EXPECT_TRUE(parsed(lines[0]).contains("time"));
}

TEST(BoardLine, NeverReachesTheLastColumn) {
    const download::Progress progress{
        .done = 30, .total = 8192, .phase = download::Phase::Programming};
    for (int columns : {10, 40, 60, 200}) {
        const std::string line = boardLine("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", 44,
                                           progress, "Erase external flash S3", columns);
        EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << columns;
    }
    EXPECT_EQ(boardLine("A", 3, progress, "", 80),
              "A   [--------------------] 30/8192 programming");
}

TEST(LineConsole, PrefixesEveryLineWithItsPort) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        LineConsole console({"A", "/dev/ttyUSB1"}, out, err, false, 80, 24);
        LineConsole hostile({"x\nsim: Done!\x1b[2K"}, out, err, false, 80, 24);
        PortLineObserver second(console, 1);
        console.status(0, "Programming!");
        hostile.status(0, "Flash Error");
        second.showStatus("Flash Error", download::Severity::Error);
        second.reportError(platform::faultOf(platform::ErrorNumber::DeviceIo));
        second.askToRemoveProgrammingCard();
        console.advice(1, "first line\nsecond line\n");
        console.finish();
    }
    const auto text = [](std::FILE* f) {
        std::rewind(f);
        std::string all;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, f)) all += buffer;
        std::fclose(f);
        return all;
    };
    EXPECT_EQ(text(out),
              "A: Programming!\nx\\nsim: Done!\\x1b[2K: Flash Error\n"
              "/dev/ttyUSB1: Flash Error\n/dev/ttyUSB1: " +
                  std::string(kCardStatus) + "\n");
    EXPECT_EQ(text(err),
              "/dev/ttyUSB1: 57 - Device I/O error\n/dev/ttyUSB1: first line\n/dev/ttyUSB1: second "
              "line\n");
}

// The station's pause between probes: a stop request ends it at once, not after the second.
TEST(StationPause, EndsAtOnceOnAStopRequest) {
    link::SteadyClock clock;
    std::stop_source source;
    EXPECT_TRUE(clock.pauseMs(1, source.get_token()));
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        source.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(clock.pauseMs(60000, source.get_token()));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    other.join();
}

/// The virtual clock, with a stop requested once it passes `stopAtMs`: a station otherwise
/// waits for the next unit for ever.
class EndingClock final : public link::Clock {
  public:
    EndingClock(std::stop_source stop, double stopAtMs)
        : stop_(std::move(stop)), stopAt_(stopAtMs) {}
    [[nodiscard]] double nowMs() override { return clock_.nowMs(); }
    void sleepMs(double ms) override {
        clock_.sleepMs(ms);
        if (clock_.now() >= stopAt_) stop_.request_stop();
    }

  private:
    test::VirtualClock clock_;
    std::stop_source stop_;
    double stopAt_;
};

sim::UnitSlot unitSlot(double arrivesAfterMs, double staysMs = 0, bool card = false) {
    sim::UnitSlot slot;
    slot.options.card = card;
    slot.arrivesAfterMs = arrivesAfterMs;
    slot.staysMs = staysMs;
    return slot;
}

/// True when `unit`'s flash holds every data record of `lines`.
bool holdsImage(const sim::Controller& unit, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.rfind("S2", 0) != 0) continue;
        const auto address = static_cast<std::uint32_t>(std::stoul(line.substr(4, 6), nullptr, 16));
        for (std::uint32_t i = 0; i < 64; ++i) {
            const auto byte = std::stoul(line.substr(10 + 2 * i, 2), nullptr, 16);
            if (unit.readFlash(address + i) != byte) return false;
        }
    }
    return true;
}

/// Standard output or error of a run in this process: a temporary file, read back whole.
class Captured {
  public:
    Captured() : file_(std::tmpfile()) {}
    ~Captured() { std::fclose(file_); }
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;
    [[nodiscard]] std::FILE* file() const { return file_; }
    [[nodiscard]] std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string all;
        char buffer[4096];
        for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
            all.append(buffer, n);
        return all;
    }

  private:
    std::FILE* file_;
};

/// When a run is asked to stop, as a signal would: once unit `unit` has taken a record, or has
/// taken the exit frame (the stop then falls in the reset wait).
struct StopAt {
    std::size_t unit = 0;  ///< 0: never
    bool exitFrame = false;
};

/// Simulated units behind a port text, stopping the run where `StopAt` says.
class SimLinePort final : public link::Port {
  public:
    SimLinePort(std::vector<sim::UnitSlot> units, link::Clock& clock, StopAt at,
                std::stop_source stop)
        : sim_(std::make_shared<sim::SimPort>(std::move(units), clock)),
          at_(at),
          stop_(std::move(stop)) {}
    [[nodiscard]] std::shared_ptr<sim::SimPort> sim() const { return sim_; }

    [[nodiscard]] bool isOpen() const override { return sim_->isOpen(); }
    platform::Result<void> discardInput() override { return sim_->discardInput(); }
    platform::Result<void> write(std::span<const std::uint8_t> bytes) override {
        stopWhenDue();
        return sim_->write(bytes);
    }
    [[nodiscard]] platform::Result<int> bytesWaiting() override { return sim_->bytesWaiting(); }
    platform::Result<int> waitForBytes(int known, double timeoutMs) override {
        platform::Result<int> count = sim_->waitForBytes(known, timeoutMs);
        stopWhenDue();
        return count;
    }
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        return sim_->readAll(out);
    }
    void close() override { sim_->close(); }

  private:
    void stopWhenDue() {
        if (at_.unit == 0 || sim_->arrivedUnits() < at_.unit) return;
        const sim::Counters& counters = sim_->controller().counters();
        if ((at_.exitFrame ? counters.exits : counters.programs) > 0) stop_.request_stop();
    }

    std::shared_ptr<sim::SimPort> sim_;
    StopAt at_;
    std::stop_source stop_;
};

struct SimLine {
    std::string text;
    std::vector<sim::UnitSlot> units;
};

class SimOpener final : public ports::PortOpener {
  public:
    SimOpener(std::vector<SimLine> lines, StopAt at, std::stop_source stop)
        : lines_(std::move(lines)), at_(at), stop_(std::move(stop)) {}

    std::vector<ports::PortChoice> listChoices() override { return {}; }
    platform::Result<ports::OpenedPort> open(std::string_view text, link::Clock& clock) override {
        const std::lock_guard lock(mutex_);
        ++opened_;
        for (const SimLine& line : lines_) {
            if (line.text == text) {
                auto port = std::make_unique<SimLinePort>(line.units, clock, at_, stop_);
                sims_.push_back(port->sim());
                return ports::OpenedPort{std::move(port)};
            }
        }
        return platform::Fault{platform::ErrorNumber::FileNotFound,
                               "Port " + std::string(text) + " does not exist"};
    }
    [[nodiscard]] int opened() const { return opened_; }
    /// The simulated ports opened, in order.
    [[nodiscard]] const std::vector<std::shared_ptr<sim::SimPort>>& sims() const { return sims_; }

  private:
    std::vector<std::shared_ptr<sim::SimPort>> sims_;
    std::vector<SimLine> lines_;
    StopAt at_;
    std::stop_source stop_;
    std::mutex mutex_;
    int opened_ = 0;
};

struct LineRunCase {
    const char* name;
    std::vector<SimLine> ports;
    LineOptions options;
    StopAt stopAt{};
    int signal = SIGINT;  ///< the signal a stop stands for
    int exit = 0;
    const char* out = nullptr;  ///< standard output exactly, when given
    std::vector<std::string> outHas{};
    std::vector<std::string> errHas{};
    std::vector<std::string> lacks{};  ///< in neither output
    /// "port unit result exit" of each log line, or "port result exit" of each unit's result
    /// event.
    std::vector<std::string> units{};
    bool portsOpened = true;
    std::vector<std::string> image = test::imageLines();
    ConsoleModes modes{};
    std::string input{};        ///< standard input: the answers to --ask-serial
    bool stopAtPrompt = false;  ///< standard input is a terminal nobody types on; then Ctrl-C
    std::vector<std::string> missing{};  ///< port texts after `ports` that name no port
};

/// A pseudo-terminal's slave end for standard input, nothing typed on it; the master stays
/// open while it lives.
class SilentTerminal {
  public:
    SilentTerminal() {
#if !defined(_WIN32)
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            slave_ = std::fopen(::ptsname(master_), "r");
#endif
    }
    ~SilentTerminal() {
#if !defined(_WIN32)
        if (slave_ != nullptr) std::fclose(slave_);
        if (master_ >= 0) ::close(master_);
#endif
    }
    SilentTerminal(const SilentTerminal&) = delete;
    SilentTerminal& operator=(const SilentTerminal&) = delete;
    [[nodiscard]] std::FILE* file() const {
        return slave_;
    }

  private:
    int master_ = -1;
    std::FILE* slave_ = nullptr;
};

sim::UnitSlot unitOf(sim::Options options) {
    sim::UnitSlot slot;
    slot.options = options;
    return slot;
}

/// The small image with records first..last (0-based) holding only 0xFF.
std::vector<std::string> padded(int first, int last) {
    std::vector<std::string> lines = test::imageLines();
    for (int i = first; i <= last; ++i) {
        lines[static_cast<std::size_t>(i) + 1] = test::dataLine(
            0xE7F000 + 64 * static_cast<std::uint32_t>(i), std::vector<std::uint8_t>(64, 0xFF));
    }
    return lines;
}

/// The station's sink, writing down as "unit text" the station's statuses, each unit's
/// result and each programming-card report; it stops the run once unit `stopAfterUnit` is
/// recorded.
class StationLog final : public LineOutput {
  public:
    StationLog(std::vector<std::string> ports, const Captured& output, std::stop_source stop,
               int stopAfterUnit)
        : LineOutput(std::move(ports), output.file(), output.file()),
          stop_(std::move(stop)),
          stopAfterUnit_(stopAfterUnit) {}

    std::unique_ptr<download::DownloadObserver> observer(std::size_t,
                                                         std::optional<int> unit) override {
        struct Observer final : download::DownloadObserver {
            std::vector<std::string>& log;
            int unit;
            Observer(std::vector<std::string>& l, int u) : log(l), unit(u) {}
            void showStatus(std::string_view text, download::Severity) override {
                using namespace station_text;
                const std::string_view kept[] = {WaitingForController, RemoveUnit,
                                                 WaitingForNextUnit, UnitKeepsCard};
                if (text == kCardStatus) log.push_back(std::to_string(unit) + " card");
                if (std::find(std::begin(kept), std::end(kept), text) != std::end(kept))
                    log.push_back(std::to_string(unit) + " " + std::string(text));
            }
            void showProgress(const download::Progress&) override {}
            void askToRemoveProgrammingCard() override {}
            void reportError(const platform::Fault&) override {}
        };
        return std::make_unique<Observer>(log, unit.value_or(0));
    }
    void note(std::size_t, const std::string&) override {}
    void unitEnded(std::size_t, const download::DownloadResult&, const std::string&) override {}
    void unitRecorded(std::size_t, const UnitRecord& record,
                      const platform::Result<void>&) override {
        log.push_back(std::to_string(record.unit.value_or(0)) + " " + record.result);
        if (record.unit == stopAfterUnit_) stop_.request_stop();
    }
    void summary(const LineTally&) override {}

    std::vector<std::string> log;

  private:
    std::stop_source stop_;
    int stopAfterUnit_;
};

struct StationCase {
    const char* name;
    std::vector<sim::UnitSlot> units;
    std::vector<std::string> log;
    int stopAfterUnit = 0;
};

// Station mode through the line's runner, simulated units coming and going on the virtual clock.
TEST(Station, EveryUnitThatAnsweredIsProgrammedOrRecorded) {
    using Log = std::vector<std::string>;
    constexpr double kNever = std::numeric_limits<double>::infinity();
    const auto after = [](double gapMs) {
        return std::vector<sim::UnitSlot>{unitSlot(0), unitSlot(gapMs), unitSlot(gapMs, kNever)};
    };
    // Arriving within the reset wait, a unit is downloaded at once; later, after the station
    // has seen the last one leave.
    const Log atOnce = {
        "1 Waiting for controller",   "1 Done!", "2 Done!", "3 Done!", "3 Remove the unit",
        "4 Waiting for the next unit"};
    const Log oneByOne = {"1 Waiting for controller",    "1 Done!", "1 Remove the unit",
                          "2 Waiting for the next unit", "2 Done!", "2 Remove the unit",
                          "3 Waiting for the next unit", "3 Done!", "3 Remove the unit",
                          "4 Waiting for the next unit"};
    const StationCase cases[] = {
        {"half a second after the restart", after(500), atOnce},
        {"2 s after the restart", after(2000), atOnce},
        {"7 s after the restart", after(7000), atOnce},
        {"9 s after the restart", after(9000), oneByOne},
        {"a unit keeping its card for 25 s",
         {unitSlot(0, 25000, true), unitSlot(2000, kNever)},
         {"1 Waiting for controller", "1 card", "1 Done!", "1 Remove the unit",
          std::string("1 ") + std::string(station_text::UnitKeepsCard),
          "2 Waiting for the next unit", "2 Done!", "2 Remove the unit",
          "3 Waiting for the next unit"}},
        {"a card unit taken off and the next one plugged in during the reset wait",
         {unitSlot(0, 1500, true), unitSlot(1500, kNever)},
         {"1 Waiting for controller", "1 Done!", "2 Done!", "2 Remove the unit",
          "3 Waiting for the next unit"}},
        {"stopped with the next unit on the line",
         after(2000),
         {"1 Waiting for controller", "1 Done!", "2 Not programmed"},
         1},
    };
    test::TempDir dir;
    const std::vector<std::string> lines = test::imageLines();
    const std::filesystem::path image = dir.write("image.shx", lines);
    for (const StationCase& c : cases) {
        std::stop_source stop;
        SimOpener opener({{"/dev/ttyA", c.units}}, {}, stop);
        LineSurroundings around{
            .ports = opener,
            .newClock = [stop] { return std::make_unique<EndingClock>(stop, 400000); },
            .in = nullptr,
            .stop = stop,
            .signalNumber = [] { return 0; }};
        Captured output;
        StationLog log({"/dev/ttyA"}, output, stop, c.stopAfterUnit);
        runLine({"/dev/ttyA"}, image, image::readImage(image), {.station = true}, around, log);
        EXPECT_EQ(log.log, c.log) << c.name;
        ASSERT_EQ(opener.sims().size(), 1u) << c.name;
        const sim::SimPort& port = *opener.sims().front();
        for (std::size_t i = 0; i < port.arrivedUnits(); ++i) {
            const bool programmed = port.unit(i).counters().programs > 0;
            EXPECT_EQ(programmed && holdsImage(port.unit(i), lines), programmed)
                << c.name << ", unit " << i + 1;
        }
    }
}

// Whole runs of korvath-cli's runner in this process: simulated units on the virtual clock, the
// output in files, a stop request standing for Ctrl-C.
TEST(LineRun, EndsWithItsExitCodeOutputAndRecords) {
    constexpr double kNever = std::numeric_limits<double>::infinity();
    constexpr std::size_t kNone = std::string::npos;
    // POSIX's numbers for SIGHUP and SIGQUIT, which Windows does not name.
    constexpr int kHangUp = 1;
    constexpr int kQuit = 3;
    const std::vector<SimLine> one = {{"/dev/ttyA", {unitSlot(0, kNever)}}};
    sim::Options nak;
    nak.nakProgram = 5;
    sim::Options unplug;
    unplug.unplugAfter = 10;
    sim::Options babble;
    babble.babbleAfter = 20;
    const std::vector<SimLine> three = {{"/dev/ttyA", {unitSlot(0, kNever)}},
                                        {"/dev/ttyB", {unitOf(nak)}},
                                        {"/dev/ttyC", {unitOf(unplug)}}};
    const std::vector<SimLine> station = {
        {"/dev/ttyA", {unitSlot(0), unitSlot(2000), unitSlot(2000), unitSlot(2000, kNever)}}};
    const LineRunCase cases[] = {
        {.name = "three ports: a NAK on a record, a line lost, one Done!",
         .ports = three,
         .options = {.json = true, .tagTexts = {"batch=B7"}},
         .exit = 1,
         .outHas =
             {R"("failed":2,"passed":1,"result":"Failed","scope":"run","tags":{"batch":"B7"})",
              R"("cause":"refused")", R"("reply":"15")",
              R"("refused_record":{"address":"E7F100","line":6})", R"(["57 - )",
              R"("cause":"port_lost")"},
         .units = {"/dev/ttyA Done! 0", "/dev/ttyB Flash Error 1", "/dev/ttyC Flash Error 1"}},
        {.name = "--skip-erased: ten padding records left out, the refused record's line kept",
         .ports = {one[0], three[1]},
         .options = {.json = true, .skipErased = true},
         .exit = 1,
         .outHas = {R"("refused_record":{"address":"E7F380","line":16})",
                    R"("skipped_records":10)"},
         .units = {"/dev/ttyA Done! 0", "/dev/ttyB Flash Error 1"},
         .image = padded(0, 9)},
        {.name = "a station through four units, stopped while the fourth programs",
         .ports = station,
         .options = {.station = true, .logPath = "units.jsonl"},
         .stopAt = {.unit = 4},
         .exit = 130,
         .outHas = {"Cancelled\n", "Station: 3 units passed, 1 failed"},
         .lacks = {"Remove the unit", "Card"},
         .units = {"/dev/ttyA 1 Done! 0", "/dev/ttyA 2 Done! 0", "/dev/ttyA 3 Done! 0",
                   "/dev/ttyA 4 Cancelled 130"}},
        {.name = "SIGHUP while programming",
         .ports = one,
         .options = {.logPath = "units.jsonl"},
         .stopAt = {.unit = 1},
         .signal = kHangUp,
         .exit = 129,
         .outHas = {"Programming!\nCancelled\n"},
         .errHas = {"flash is incomplete"},
         .units = {"/dev/ttyA 1 Cancelled 129"}},
        {.name = "SIGQUIT in the reset wait",
         .ports = one,
         .options = {.logPath = "units.jsonl"},
         .stopAt = {.unit = 1, .exitFrame = true},
         .signal = kQuit,
         .exit = 131,
         .outHas = {"Resetting target\nCancelled\n"},
         .errHas = {"written completely"},
         .units = {"/dev/ttyA 1 Cancelled 131"}},
        {.name = "a log in a folder that does not exist",
         .ports = {one[0], {"/dev/ttyB", {unitSlot(0, kNever)}}},
         .options = {.logPath = "missing/units.jsonl"},
         .exit = 2,
         .out = "",
         .errHas = {"cannot write the log"},
         .portsOpened = false},
        {.name = "the log is the image by another path",
         .ports = one,
         .options = {.logPath = "./image.shx"},
         .exit = 2,
         .out = "",
         .errHas = {"is the image file"},
         .portsOpened = false},
        {.name = "serial numbers asked one port at a time, answers naming their port",
         .ports = {one[0], {"/dev/ttyB", {unitSlot(0, kNever)}}},
         .options = {.json = true, .askSerial = true},
         .errHas = {"/dev/ttyA: serial number? (or PORT=SERIAL)\n", ": empty: scan again\n"},
         .units = {"/dev/ttyA Done! 0 SN-A", "/dev/ttyB Done! 0 SN-B"},
         .input = "/dev/ttyB=SN-B\n\n/dev/ttyA=SN-A\r\n"},
        {.name = "Ctrl-C at the serial number's prompt",
         .ports = one,
         .options = {.json = true, .askSerial = true},
         .exit = 130,
         .outHas = {R"("result":"Cancelled")"},
         .lacks = {"standard input ended"},
         .stopAtPrompt = true},
        {.name = "a babbling line: its cause, and its reports counted in the record",
         .ports = {{"/dev/ttyA", {unitOf(babble)}}},
         .options = {.json = true},
         .exit = 1,
         .outHas = {R"("cause":"noise")",
                    R"(["9 - Subscript out of range: the line is noisy: something else is )"
                    R"(sending (x)"},
         .units = {"/dev/ttyA Flash Error 1"}},
        {.name = "a trace of two ports, each line naming its port",
         .ports = {one[0], {"/dev/ttyB", {unitSlot(0, kNever)}}},
         .options = {},
         .outHas = {"/dev/ttyA: Done!\n", "/dev/ttyB: Done!\n"},
         .errHas = {"/dev/ttyA:      0.000 ms  connect  > 90\n/dev/ttyA: ",
                    "/dev/ttyB:      0.000 ms  connect  > 90\n/dev/ttyB: "},
         .units = {},
         .modes = {.trace = true}},
        {.name = "a port that is not there, with events",
         .ports = one,
         .options = {.json = true},
         .exit = 2,
         .outHas = {R"("reason":"Port /dev/ttyZ does not exist")"},
         .units = {"/dev/ttyA Done! 0", "/dev/ttyZ Cannot open port 2"},
         .missing = {"/dev/ttyZ"}},
        {.name = "a port that is not there, on the board",
         .ports = one,
         .options = {},
         .exit = 2,
         .outHas = {"Port       Verdict                   Time\n/dev/ttyA  Done!      ",
                    "\n/dev/ttyZ  Cannot open port          00:00\n"},
         .missing = {"/dev/ttyZ"}},
        {.name = "quiet with a log on two ports",
         .ports = {one[0], three[1]},
         .options = {.logPath = "units.jsonl"},
         .exit = 1,
         .outHas = {"/dev/ttyA: Done!\n", "/dev/ttyB: Flash Error\n"},
         .errHas = {"/dev/ttyB: Cause: the controller refused (NAK)"},
         .lacks = {"Programming!", "Connecting"},
         .units = {"/dev/ttyA 1 Done! 0", "/dev/ttyB 1 Flash Error 1"},
         .modes = {.quiet = true}},
    };
    test::TempDir dir;
    for (const LineRunCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path image = dir.write("image.shx", c.image);
        std::stop_source stop;
        SimOpener opener(c.ports, c.stopAt, stop);
        Captured out;
        Captured err;
        Captured in;
        std::fputs(c.input.c_str(), in.file());
        std::rewind(in.file());
        SilentTerminal terminal;
#if defined(_WIN32)
        if (c.stopAtPrompt) continue;
#endif
        std::thread ctrlC;
        if (c.stopAtPrompt) {
            ASSERT_NE(terminal.file(), nullptr);
            ctrlC = std::thread([stop]() mutable {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                stop.request_stop();
            });
        }
        LineSurroundings around{
            .ports = opener,
            .newClock = [] { return std::make_unique<test::VirtualClock>(); },
            .in = c.stopAtPrompt ? terminal.file() : in.file(),
            .stop = stop,
            .signalNumber = [stop, &c] { return stop.stop_requested() ? c.signal : 0; },
            .modes = c.modes};
        LineOptions options = c.options;
        if (options.logPath) options.logPath = (dir.path() / *options.logPath).string();
        std::vector<std::string> texts;
        for (const SimLine& port : c.ports) texts.push_back(port.text);
        texts.insert(texts.end(), c.missing.begin(), c.missing.end());
        std::unique_ptr<LineOutput> sink;
        if (options.json) {
            sink = std::make_unique<EventOutput>(texts, out.file(), err.file());
        } else if (texts.size() == 1) {
            sink = std::make_unique<ConsoleOutput>(texts[0], out.file(), err.file(), around.in,
                                                   false, false, stop.get_token(), options.station);
        } else {
            sink = std::make_unique<BoardOutput>(texts, out.file(), err.file(), false, 0, 0);
        }
        EXPECT_EQ(runLine(texts, image, image::readImage(image), options, around, *sink), c.exit);
        if (ctrlC.joinable()) ctrlC.join();

        const std::string output = out.text();
        const std::string errors = err.text();
        if (c.out != nullptr) {
            EXPECT_EQ(output, c.out);
        }
        for (const std::string& part : c.outHas) EXPECT_NE(output.find(part), kNone) << part;
        for (const std::string& part : c.errHas) EXPECT_NE(errors.find(part), kNone) << part;
        for (const std::string& part : c.lacks)
            EXPECT_EQ((output + errors).find(part), kNone) << part;
        EXPECT_EQ(opener.opened() > 0, c.portsOpened);
        std::vector<std::string> units;
        // A refused log is left as it was: it may be the image.
        if (options.logPath && c.portsOpened && std::filesystem::exists(*options.logPath)) {
            std::stringstream log;
            log << std::ifstream(*options.logPath).rdbuf();
            // One run id for the whole run; with the port and unit it names each line once.
            std::set<std::string> runIds;
            std::set<std::pair<std::string, int>> keys;
            for (std::string line; std::getline(log, line);) {
                const json entry = json::parse(line);
                runIds.insert(entry["run_id"].get<std::string>());
                keys.emplace(entry["port"], entry["unit"]);
                units.push_back(entry["port"].get<std::string>() + " " +
                                std::to_string(entry["unit"].get<int>()) + " " +
                                entry["result"].get<std::string>() + " " +
                                std::to_string(entry["exit"].get<int>()));
            }
            EXPECT_EQ(runIds.size(), units.empty() ? 0u : 1u);
            for (const std::string& id : runIds)
                EXPECT_TRUE(
                    std::regex_match(id, std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")));
            EXPECT_EQ(keys.size(), units.size());
            std::sort(units.begin(), units.end());
            std::filesystem::remove(*options.logPath);
        } else if (options.json) {
            std::istringstream events(output);
            for (std::string line; std::getline(events, line);) {
                const json event = json::parse(line);
                if (event["event"] == "result" && event["scope"] == "unit")
                    units.push_back(
                        event["port"].get<std::string>() + " " +
                        event["result"].get<std::string>() + " " +
                        std::to_string(event["exit"].get<int>()) +
                        (event.contains("serial") ? " " + event["serial"].get<std::string>() : ""));
            }
            std::sort(units.begin(), units.end());
        }
        EXPECT_EQ(units, c.units);
    }
}

}  // namespace
}  // namespace korvath::line
