#include "line/multi_run.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "download/downloader.h"
#include "image/prescan.h"
#include "image/record.h"
#include "korvath/version.h"
#include "line/audit_log.h"
#include "line/console_observer.h"
#include "line/guidance.h"
#include "line/image_check.h"
#include "line/json_observer.h"
#include "line/line_console.h"
#include "line/output_check.h"
#include "line/station.h"
#include "link/link.h"
#include "platform/escape.h"
#include "platform/platform.h"
#include "platform/stop_signals.h"
#include "ports/device_path.h"
#include "ports/port_name.h"
#include "ports/usb_serial.h"

namespace korvath::line {

namespace {

using Wall = std::chrono::system_clock;

/// Keeps what the log records of a unit and passes every report on; a report that could not be
/// written to standard output or standard error stops the run.
class UnitObserver final : public download::DownloadObserver {
  public:
    UnitObserver(download::DownloadObserver& inner, bool cardAsStatus, OutputCheck& output)
        : checked_(inner, output), cardAsStatus_(cardAsStatus) {}

    void showStatus(std::string_view text, download::Severity severity) override {
        lastStatus_.assign(text);
        checked_.showStatus(text, severity);
    }
    void explainStatus(std::string_view reason) override { checked_.explainStatus(reason); }
    void showProgress(const download::Progress& progress) override {
        checked_.showProgress(progress);
    }
    void askToRemoveProgrammingCard() override {
        if (!cardAsStatus_) {
            checked_.askToRemoveProgrammingCard();
            return;
        }
        // Nobody stands at a station's keyboard: the card becomes a status and an entry.
        errors_.push_back("0 - " + std::string(kCardStatus));
        lastKey_.clear();
        checked_.showStatus(kCardStatus, download::Severity::Error);
    }
    void reportError(const platform::Fault& fault) override {
        // The record keeps a report repeated in a row once, with its count: "... (x100)".
        std::string shown = fault.shown();
        std::string key = shown;
        if (!key.empty() && key.back() == ')' && key.rfind(" (") != std::string::npos)
            key.resize(key.rfind(" ("));
        if (!errors_.empty() && key == lastKey_) {
            errors_.back() = key + " (x" + std::to_string(++repeats_) + ")";
        } else {
            errors_.push_back(std::move(shown));
            lastKey_ = std::move(key);
            repeats_ = 1;
        }
        checked_.reportError(fault);
    }

    [[nodiscard]] const std::string& lastStatus() const { return lastStatus_; }
    [[nodiscard]] const std::vector<std::string>& errors() const { return errors_; }

  private:
    OutputCheckedObserver checked_;
    bool cardAsStatus_;
    std::string lastStatus_;
    std::vector<std::string> errors_;
    std::string lastKey_;
    int repeats_ = 0;
};

/// One line of `in` without its '\n' (nor a '\r' before it); nothing when the input ended
/// before any character or `stop` was requested while waiting for it. The wait for each byte
/// ends on a stop, so Ctrl-C at a prompt cancels at once.
std::optional<std::string> readLine(std::FILE* in, const std::stop_token& stop) {
    std::string line;
    int c = 0;
    for (;;) {
        if (!platform::waitForInput(in, stop)) return std::nullopt;
        c = std::fgetc(in);
        if (c == EOF || c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    if (c == EOF && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::vector<std::string> adviceLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

/// The device that `parsed` opens, with its links resolved: two port texts with the same
/// device would open one controller twice. Empty when that cannot be known before opening (a
/// simulated controller, a port not there yet).
std::string deviceOf(const ports::ParsedPort& parsed,
                     const std::vector<ports::PortChoice>& listed) {
    std::string name;
    switch (parsed.kind) {
        case ports::ParsedPort::Kind::Simulated:
            return {};
        case ports::ParsedPort::Kind::Number:
            for (const ports::PortChoice& choice : listed) {
                if (choice.number == parsed.number) name = choice.text;
            }
            break;
        case ports::ParsedPort::Kind::Name:
            name = parsed.name;
            break;
        case ports::ParsedPort::Kind::UsbSerial:
            if (const auto found = ports::portWithSerial(listed, parsed.name)) name = *found;
            break;
    }
    if (name.empty()) return {};
    const platform::Result<std::string> device = ports::resolveDevice(name);
    return device ? *device : std::string();
}

/// The device number of the character device `path` leads to; 0 when it is none or unknown.
/// Two nodes of one device (a pseudo-terminal under /dev/pts and another name made for it)
/// share it whatever their paths.
unsigned long long deviceNumber(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return 0;
#else
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    return static_cast<unsigned long long>(info.st_rdev);
#endif
}

/// Empty when every text of `texts` names a port of its own; else why not, for the user.
std::string portTextProblem(const std::vector<std::string>& texts, ports::PortOpener& opener) {
    std::vector<ports::ParsedPort> parsedPorts;
    bool needList = false;
    for (const std::string& text : texts) {
        const platform::Result<ports::ParsedPort> parsed = ports::parsePortText(text);
        if (!parsed) return parsed.fault().text;
        parsedPorts.push_back(*parsed);
        needList = needList || parsedPorts.back().kind == ports::ParsedPort::Kind::Number ||
                   parsedPorts.back().kind == ports::ParsedPort::Kind::UsbSerial;
    }
    const std::vector<ports::PortChoice> listed =
        needList ? opener.listChoices() : std::vector<ports::PortChoice>{};
    std::vector<std::string> devices;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        devices.push_back(deviceOf(parsedPorts[i], listed));
        for (std::size_t j = 0; j < i; ++j) {
            if (texts[j] == texts[i]) return "port " + texts[i] + " given twice";
            const bool sameNode = !devices[i].empty() && devices[i] == devices[j];
            const unsigned long long number = deviceNumber(devices[i]);
            if (sameNode || (number != 0 && number == deviceNumber(devices[j]))) {
                return "ports " + texts[j] + " and " + texts[i] + " are the same device, " +
                       devices[i] + ": one controller cannot be programmed twice at once";
            }
        }
    }
    return {};
}

struct PortTally {
    int passed = 0;
    int failed = 0;
    double seconds = 0;      // all units together
    std::string verdict;     // the last unit's result
    double lastSeconds = 0;  // the last unit's time
    int exit = kExitDone;    // the highest unit code
};

class LineRun {
  public:
    /// `image` was read and checked by checkImage (and accepted, unless the run is plain); it
    /// must outlive the run.
    LineRun(const std::vector<std::string>& ports, std::filesystem::path path,
            const CheckedImage& image, const LineOptions& options, Tags tags,
            std::unique_ptr<AuditLog> log, EventStream* events, LineSurroundings& around)
        : ports_(ports),
          path_(std::move(path)),
          image_(image),
          options_(options),
          plain_(!isLineRun(ports, options)),
          tags_(std::move(tags)),
          log_(std::move(log)),
          tallies_(ports.size()),
          host_(platform::hostName()),
          runId_(newRunId()),
          around_(around),
          stop_(around.stop),
          output_(stop_, around.out, around.err),
          events_(events) {}

    int run();

  private:
    class PortStation;

    void runPort(std::size_t index);
    /// One download on `link`; the record goes to the log and the tally. In station mode the
    /// reset wait watches for the next unit; returns what it heard.
    download::ResetHeard runUnit(std::size_t index, link::Link& link, std::optional<int> unit);
    /// A unit that answered but whose download never began: "Not programmed", failed.
    void recordNotProgrammed(std::size_t index, int unit);
    /// The record's fields that every unit of port `index` shares.
    [[nodiscard]] UnitRecord recordFor(std::size_t index, std::optional<int> unit) const;
    /// Counts `record` in the port's tally, sends its result event and appends it to the log.
    void keep(std::size_t index, const UnitRecord& record);
    std::unique_ptr<download::DownloadObserver> observerFor(std::size_t index,
                                                            std::optional<int> unit);
    platform::Result<ports::OpenedPort> openPort(std::size_t index, link::Clock& clock);
    void note(std::size_t index, const std::string& text);
    /// The unit's serial number as typed (or scanned) on standard input; empty when the input
    /// ended.
    std::optional<std::string> askSerial(std::size_t index);
    /// The record the controller refused, when a download ended on one.
    [[nodiscard]] std::optional<RefusedRecord> refusedRecord(
        const download::DownloadResult& result) const;
    void printSummary();

    const std::vector<std::string>& ports_;
    std::filesystem::path path_;
    const CheckedImage& image_;
    LineOptions options_;
    bool plain_;  // one port, none of the line's options: the console's output
    Tags tags_;
    std::unique_ptr<AuditLog> log_;
    std::vector<PortTally> tallies_;
    std::string host_;
    std::string runId_;
    LineSurroundings& around_;
    std::stop_source stop_;
    // The station's waits end on a stop too, and also when a unit's line could not be
    // written: then no further unit is started on any port, while downloads in flight finish.
    std::stop_source waits_;
    std::stop_callback<std::function<void()>> waitsFollowStop_{stop_.get_token(),
                                                               [this] { waits_.request_stop(); }};
    OutputCheck output_;
    std::mutex openMutex_;
    std::mutex inputMutex_;
    /// Serial numbers answered for a port before it asked ("PORT=SERIAL").
    std::vector<std::optional<std::string>> answered_{ports_.size()};
    std::unique_ptr<LineConsole> console_;
    std::unique_ptr<ConsoleObserver> single_;
    EventStream* events_;
};

platform::Result<ports::OpenedPort> LineRun::openPort(std::size_t index, link::Clock& clock) {
    // The system's port list is read while opening; one port at a time keeps that simple.
    const std::lock_guard lock(openMutex_);
    platform::Result<ports::OpenedPort> opened = around_.ports.open(ports_[index], clock);
    if (opened && !opened->advice.empty()) note(index, opened->advice);
    return opened;
}

std::unique_ptr<download::DownloadObserver> LineRun::observerFor(std::size_t index,
                                                                 std::optional<int> unit) {
    if (events_ != nullptr) return std::make_unique<JsonObserver>(*events_, ports_[index], unit);
    if (console_) return std::make_unique<PortLineObserver>(*console_, index);
    return nullptr;  // the single console observer serves
}

void LineRun::note(std::size_t index, const std::string& text) {
    if (events_ != nullptr) {
        events_->write(statusEvent(ports_[index], std::nullopt, text, download::Severity::Error));
    } else if (console_) {
        console_->status(index, text);
    } else {
        std::fprintf(around_.err, "korvath-cli: %s\n", platform::printable(text).c_str());
    }
    output_.check();
}

std::optional<std::string> LineRun::askSerial(std::size_t index) {
    // One question at a time, on a line of its own that names the port. An answer may name its
    // port ("PORT=SERIAL"): it then goes to that port whichever asked, so that a scan never
    // lands on the wrong fixture.
    const std::lock_guard lock(inputMutex_);
    for (;;) {
        if (waits_.stop_requested()) return std::nullopt;
        if (std::optional<std::string>& early = answered_[index]) {
            std::optional<std::string> serial = std::move(early);
            early.reset();
            return serial;
        }
        std::fprintf(around_.err, "%s: serial number?%s\n",
                     platform::printable(ports_[index]).c_str(),
                     ports_.size() > 1 ? " (or PORT=SERIAL)" : "");
        std::fflush(around_.err);
        std::optional<std::string> serial = readLine(around_.in, waits_.get_token());
        if (!serial) return std::nullopt;
        if (serial->empty()) {
            std::fprintf(around_.err, "%s: empty: scan again\n",
                         platform::printable(ports_[index]).c_str());
            continue;
        }
        const std::size_t equals = serial->find('=');
        const auto named = equals == std::string::npos
                               ? ports_.end()
                               : std::find(ports_.begin(), ports_.end(), serial->substr(0, equals));
        if (named == ports_.end()) return serial;
        const auto port = static_cast<std::size_t>(named - ports_.begin());
        if (port == index) return serial->substr(equals + 1);
        answered_[port] = serial->substr(equals + 1);
    }
}

std::optional<RefusedRecord> LineRun::refusedRecord(const download::DownloadResult& result) const {
    // A record that met a garbled reply, silence or noise was not refused by the controller.
    const std::int32_t line = result.refusedLine;
    if (result.cause != download::Cause::Refused || line < 2 || !image_.read.image ||
        line > image_.read.image->lineCount())
        return std::nullopt;
    return RefusedRecord{line, image::recordAddress(image_.read.image->line(line))};
}

UnitRecord LineRun::recordFor(std::size_t index, std::optional<int> unit) const {
    UnitRecord record;
    record.runId = runId_;
    record.host = host_;
    record.port = ports_[index];
    record.image = path_;
    record.imageSha256 = image_.check.facts.sha256;
    record.records = image_.check.facts.records;
    record.version = kVersionText;
    record.unit = unit;
    record.tags = tags_;
    if (options_.skipErased) record.skippedRecords = 0;
    return record;
}

download::ResetHeard LineRun::runUnit(std::size_t index, link::Link& link,
                                      std::optional<int> unit) {
    std::unique_ptr<download::DownloadObserver> own = observerFor(index, unit);
    // --quiet and --trace sit between the download and the console or the events; with several
    // ports each trace line names its port.
    std::optional<ModeObserver> modes;
    if (!own || around_.modes.quiet || around_.modes.trace) {
        modes.emplace(own ? *own : static_cast<download::DownloadObserver&>(*single_),
                      around_.modes, link.clock(), around_.err,
                      ports_.size() > 1 ? platform::printable(ports_[index]) + ": " : "");
    }
    download::DownloadObserver& inner =
        modes ? static_cast<download::DownloadObserver&>(*modes) : *own;
    UnitObserver observer(inner, options_.station || ports_.size() > 1, output_);

    UnitRecord record = recordFor(index, unit);
    if (options_.askSerial) {
        record.serial = askSerial(index);
        if (!record.serial) {
            // A stop at the prompt is the run's cancel; an input that ended is a usage error.
            if (!waits_.stop_requested()) {
                note(index, "No serial number: standard input ended");
                tallies_[index].exit = std::max(tallies_[index].exit, kExitUsage);
            }
            if (options_.station) {
                // No serial number can be asked for any more: the unit that answered is left
                // unprogrammed, and no further unit is started.
                waits_.request_stop();
                if (unit) recordNotProgrammed(index, *unit);
            }
            return download::ResetHeard::Nothing;
        }
    }
    record.started = Wall::now();
    const double startedMs = link.clock().nowMs();
    link.setErrorSink(&observer);
    if (around_.modes.trace && modes) link.setTrace(&*modes);
    download::Downloader downloader(link, observer);
    downloader.setStopToken(stop_.get_token());
    if (options_.station) downloader.setResetWatch(download::ResetWatch::EverySecond);
    downloader.setSkipErased(options_.skipErased);
    const download::DownloadResult result = downloader.RunDownload(image_.read);
    link.setErrorSink(nullptr);
    link.setTrace(nullptr);
    const std::string advice = guidanceAfter(result, ports_[index]);
    if (modes) modes->finish();
    if (!own) {
        single_->finish();
        printGuidance(result, ports_[index], around_.err);
    } else if (console_) {
        if (!advice.empty()) console_->advice(index, advice);
    }
    output_.check();

    record.finished = Wall::now();
    record.seconds = (link.clock().nowMs() - startedMs) / 1000.0;
    if (result.model) record.model = link::protocol::number(*result.model);
    record.result = observer.lastStatus();
    const int signal = around_.signalNumber();
    record.exit = exitCodeFor(result.outcome, signal);
    // A run stopped because its output could not be written failed; no signal ended it.
    if (result.outcome == download::Outcome::Cancelled && output_.failed() && signal == 0) {
        record.exit = kExitFailed;
    }
    if (record.skippedRecords.has_value()) record.skippedRecords = result.skippedRecords;
    record.errors = observer.errors();
    record.cause = download::causeName(result.cause);
    record.reply = hexBytes(result.reply);
    record.refusedRecord = refusedRecord(result);
    if (result.outcome == download::Outcome::ImageRefused && result.model && image_.read.image) {
        // The rules of the model that answered; the check before the ports held those of all.
        const image::PrescanResult prescan = image::PrescanImage(*image_.read.image, *result.model);
        if (!prescan.refusals.empty()) {
            record.refusal = {prescan.refusals.front().line, prescan.refusals.front().reason};
        }
    }
    record.advice = adviceLines(advice);
    keep(index, record);
    return result.resetHeard;
}

void LineRun::recordNotProgrammed(std::size_t index, int unit) {
    std::unique_ptr<download::DownloadObserver> own = observerFor(index, unit);
    (own ? *own : *single_).showStatus(station_text::NotProgrammed, download::Severity::Error);
    UnitRecord record = recordFor(index, unit);
    record.started = record.finished = Wall::now();
    record.result = station_text::NotProgrammed;
    record.exit = kExitFailed;
    record.cause = download::causeName(download::Cause::Cancelled);
    keep(index, record);
}

void LineRun::keep(std::size_t index, const UnitRecord& record) {
    PortTally& tally = tallies_[index];
    (record.exit == kExitDone ? tally.passed : tally.failed) += 1;
    tally.seconds += record.seconds;
    tally.lastSeconds = record.seconds;
    tally.verdict = record.result;
    tally.exit = std::max(tally.exit, record.exit);

    // A lock on the log held by whoever can read it delays the record by at most the bound, and
    // a stop meanwhile writes it at once: a flashed unit is recorded either way.
    const platform::LockWait wait{
        .boundMs = around_.logLockBoundMs,
        .stop = stop_.get_token(),
        .note = [this, index](const std::string& text) { note(index, text); }};
    const platform::Result<void> logged =
        log_ ? log_->append(record, wait) : platform::Result<void>();
    if (events_ != nullptr) {
        Event event = resultEvent(record);
        if (!logged) {
            event["log_error"] = jsonText(logged.fault().text);
            if (record.cause.empty())
                event["cause"] = download::causeName(download::Cause::LogFailed);
        }
        events_->write(std::move(event));
    }
    if (!logged) {
        // The unit's last status is its failure: "Done!" is not the last word of a unit that
        // was not recorded.
        if (events_ == nullptr) {
            std::unique_ptr<download::DownloadObserver> own = observerFor(index, record.unit);
            (own ? *own : *single_)
                .showStatus(station_text::NotRecorded, download::Severity::Error);
        }
        // The unit was flashed but not recorded: it counts as failed, and no further unit is
        // started, so that none is flashed unrecorded.
        waits_.request_stop();
        if (record.exit == kExitDone) {
            tally.passed -= 1;
            tally.failed += 1;
        }
        note(index, "Log not written: " + logged.fault().text +
                        (options_.station ? "; no further unit is started" : ""));
        tally.exit = std::max(tally.exit, kExitFailed);
    }
    output_.check();
}

/// Station mode's view of one port: its link, its port as it comes and goes, and the run.
class LineRun::PortStation final : public StationPort {
  public:
    PortStation(LineRun& run, std::size_t index, link::Clock& clock,
                platform::Result<ports::OpenedPort> opened)
        : run_(run), index_(index), clock_(clock), opened_(std::move(opened)) {
        if (opened_) link_.setPort(*opened_->port);
    }

    void run() {
        runStation(link_, run_.waits_.get_token(), *this);
        if (opened_) opened_->port->close();
    }

    void showStatus(int unit, std::string_view text, download::Severity severity) override {
        unit_ = unit;
        std::unique_ptr<download::DownloadObserver> own = run_.observerFor(index_, unit);
        (own ? *own : *run_.single_).showStatus(text, severity);
        run_.output_.check();
    }
    download::ResetHeard download(int unit) override { return run_.runUnit(index_, link_, unit); }
    void recordNotProgrammed(int unit) override { run_.recordNotProgrammed(index_, unit); }

    void reopen() override {
        platform::Result<ports::OpenedPort> again = run_.openPort(index_, clock_);
        if (again) {
            opened_ = std::move(again);
            link_.setPort(*opened_->port);
            if (!waitingFor_.empty()) {
                waitingFor_.clear();
                showStatus(unit_,
                           unit_ == 1 ? station_text::WaitingForController
                                      : station_text::WaitingForNextUnit,
                           download::Severity::Normal);
            }
            return;
        }
        // An adapter not plugged in yet, or pulled out: said once for each reason.
        if (again.fault().text == waitingFor_) return;
        waitingFor_ = again.fault().text;
        std::unique_ptr<download::DownloadObserver> own = run_.observerFor(index_, unit_);
        download::DownloadObserver& observer = own ? *own : *run_.single_;
        observer.showStatus("Waiting for port " + run_.ports_[index_], download::Severity::Normal);
        observer.explainStatus(waitingFor_);
    }

  private:
    LineRun& run_;
    std::size_t index_;
    link::Clock& clock_;
    platform::Result<ports::OpenedPort> opened_;
    link::ClosedPort closed_;
    link::Link link_{closed_, clock_};
    int unit_ = 1;
    std::string waitingFor_;
};

void LineRun::runPort(std::size_t index) {
    const std::unique_ptr<link::Clock> clock = around_.newClock();
    platform::Result<ports::OpenedPort> opened = openPort(index, *clock);
    if (options_.station) {
        // A port that cannot be opened yet is waited for: the station opens it once it appears.
        PortStation station(*this, index, *clock, std::move(opened));
        station.run();
        return;
    }
    if (!opened) {
        note(index, plain_ ? "cannot open port \"" + ports_[index] + "\": " + opened.fault().text
                           : "Cannot open port: " + opened.fault().text);
        tallies_[index].verdict = "Cannot open port";
        tallies_[index].exit = kExitUsage;
        if (events_ != nullptr) {
            UnitRecord record;
            record.port = ports_[index];
            record.result = "Cannot open port";
            record.exit = kExitUsage;
            record.errors = {opened.fault().text};
            record.tags = tags_;
            Event event = resultEvent(record);
            event["reason"] = jsonText(opened.fault().text);
            events_->write(std::move(event));
        }
        return;
    }
    link::Link link(*opened->port, *clock);
    runUnit(index, link, std::nullopt);
    opened->port->close();
}

void LineRun::printSummary() {
    std::vector<std::string> names;
    for (const std::string& port : ports_) names.push_back(platform::printable(port));
    std::size_t width = 4;
    for (const std::string& name : names) width = std::max(width, name.size());
    const int w = static_cast<int>(width);
    if (options_.station) {
        int passed = 0;
        int failed = 0;
        double seconds = 0;
        std::fprintf(around_.out, "%-*s  %6s  %6s  %s\n", w, "Port", "Passed", "Failed",
                     "Mean time");
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            const PortTally& t = tallies_[i];
            const int units = t.passed + t.failed;
            std::fprintf(around_.out, "%-*s  %6d  %6d  %s\n", w, names[i].c_str(), t.passed,
                         t.failed, units ? formatDuration(t.seconds / units).c_str() : "-");
            passed += t.passed;
            failed += t.failed;
            seconds += t.seconds;
        }
        const int units = passed + failed;
        std::fprintf(around_.out, "Station: %d units passed, %d failed, mean %.1f s per unit\n",
                     passed, failed, units ? seconds / units : 0.0);
    } else {
        std::fprintf(around_.out, "%-*s  %-24s  %s\n", w, "Port", "Verdict", "Time");
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            const PortTally& t = tallies_[i];
            std::fprintf(around_.out, "%-*s  %-24s  %s\n", w, names[i].c_str(), t.verdict.c_str(),
                         formatDuration(t.lastSeconds).c_str());
        }
    }
    std::fflush(around_.out);
}

int LineRun::run() {
    // Each answer is read byte by byte from the descriptor that the prompt's wait watches:
    // nothing is left waiting in a buffer the wait does not see.
    if (options_.askSerial) std::setvbuf(around_.in, nullptr, _IONBF, 0);
    if (events_ == nullptr && ports_.size() == 1) {
        single_ =
            std::make_unique<ConsoleObserver>(around_.out, around_.err, around_.in,
                                              around_.modes.barAllowed() && around_.errorControls,
                                              !options_.station && around_.keyboard);
        single_->setStopToken(stop_.get_token());
    } else if (events_ == nullptr) {
        console_ =
            std::make_unique<LineConsole>(ports_, around_.out, around_.err, around_.errorControls,
                                          around_.size.columns, around_.size.rows);
    }

    // A stop (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT or a closed output) reaches every port: running
    // downloads end at their next exchange boundary with the exit frame, waiting stations at once.
    // One thread per port: a download is a plain blocking sequence of exchanges, so each port
    // keeps its own timing and a stalled port holds up nobody.
    std::vector<std::thread> threads;
    threads.reserve(ports_.size());
    for (std::size_t i = 0; i < ports_.size(); ++i) threads.emplace_back([this, i] { runPort(i); });
    for (std::thread& thread : threads) thread.join();

    if (console_) console_->finish();
    if (events_ == nullptr && (ports_.size() > 1 || options_.station)) printSummary();

    RunResult result;
    result.tags = tags_;
    for (const PortTally& tally : tallies_) {
        result.exit = std::max(result.exit, tally.exit);
        result.passed += tally.passed;
        result.failed += tally.failed;
    }
    result.result = result.exit == kExitDone ? "Done!" : "Failed";
    const int signal = around_.signalNumber();
    // A plain run's code is its download's: a signal after "Done!" changes nothing.
    if (signal != 0 && !plain_) {
        result.exit = platform::cancelledExitCode(signal);
        result.result = "Cancelled";
    }
    // A closed output (SIGPIPE) keeps its signal's code; any other write error is a failure.
    if (output_.check() && signal == 0) {
        result.exit = kExitFailed;
        result.result = "Output not written";
    }
    if (events_ != nullptr) events_->write(runResultEvent(result));
    if (output_.failed() && (signal == 0 || !plain_)) output_.report();
    return result.exit;
}

}  // namespace

bool isLineRun(const std::vector<std::string>& ports, const LineOptions& options) {
    return ports.size() > 1 || options.station || options.json || options.logPath.has_value() ||
           !options.tagTexts.empty() || options.askSerial;
}

int runLine(const std::vector<std::string>& ports, const std::filesystem::path& image,
            image::ImageRead read, const LineOptions& options, LineSurroundings& around) {
    ParsedTags tags = parseTags(options.tagTexts);
    std::unique_ptr<EventStream> events;
    if (options.json) events = std::make_unique<EventStream>(around.out);
    // Every ending before the ports open is a result event too, with the reason.
    const auto refuse = [&](int code, const std::string& result, const std::string& reason,
                            std::int32_t line = 0) {
        std::fprintf(around.err, "korvath-cli: %s\n", platform::printable(reason).c_str());
        if (events) {
            events->write(runResultEvent({.exit = code,
                                          .result = result,
                                          .reason = reason,
                                          .line = line,
                                          .tags = tags.tags}));
        }
        return code;
    };
    if (!tags.checked) return refuse(kExitUsage, "Usage error", tags.checked.fault().text);
    if (ports.size() > kMaxPorts) {
        return refuse(kExitUsage, "Usage error",
                      "at most " + std::to_string(kMaxPorts) + " ports at once, " +
                          std::to_string(ports.size()) + " given");
    }
    const bool plain = !isLineRun(ports, options);
    // Refused before any port is opened: a text that names no port would keep a station
    // waiting for ever, and a device given twice would be opened against itself.
    if (const std::string problem = plain ? std::string() : portTextProblem(ports, around.ports);
        !problem.empty()) {
        return refuse(kExitUsage, "Usage error", problem);
    }
    // Checked once, by the rules every model shares, before any port is opened, in every mode:
    // a damaged file is told at once, not after a dead cable's fifty probes. The rules of the
    // model that answers are still applied by the download, after the password.
    const CheckedImage checked = checkImage(std::move(read), image);
    if (checked.exitCode != kExitDone) {
        const bool refused = checked.exitCode == kExitRefused && !checked.check.refusals.empty();
        if (plain && checked.exitCode == kExitRefused) {
            // The plain console's last line on standard output is the status, as after a download.
            const std::string status = refused ? checked.check.refusals.front().status
                                               : std::string(image::text::FileTooLong);
            std::fprintf(around.out, "%s\n", platform::printable(status).c_str());
            std::fflush(around.out);
        }
        return refuse(checked.exitCode,
                      refused ? checked.check.refusals.front().status : "Image not read",
                      checked.message, refused ? checked.check.refusals.front().line : 0);
    }
    std::unique_ptr<AuditLog> log;
    if (options.logPath) {
        // The same file by any path (a link, "./", another name): appending to it would write
        // records into the image.
        std::error_code same;
        if (std::filesystem::equivalent(platform::pathFromUtf8(*options.logPath), image, same)) {
            return refuse(kExitUsage, "Usage error",
                          "the log \"" + *options.logPath +
                              "\" is the image file: give the log a file of its own");
        }
    }
    if (options.logPath) {
        platform::Result<std::unique_ptr<AuditLog>> opened =
            AuditLog::open(platform::pathFromUtf8(*options.logPath));
        if (!opened) {
            return refuse(
                kExitUsage, "Log not writable",
                "cannot write the log \"" + *options.logPath + "\": " + opened.fault().text);
        }
        log = std::move(*opened);
    }
    LineRun run(ports, image, checked, options, std::move(tags.tags), std::move(log), events.get(),
                around);
    return run.run();
}

}  // namespace korvath::line
