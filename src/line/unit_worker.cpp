#include "line/unit_worker.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "image/prescan.h"
#include "image/record.h"
#include "line/console_modes.h"
#include "line/guidance.h"
#include "line/station.h"
#include "platform/escape.h"
#include "platform/platform.h"

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
        checked_.showStatus(text, severity);
    }
    void explainStatus(std::string_view reason) override { checked_.explainStatus(reason); }
    void showProgress(const download::Progress& progress) override {
        checked_.showProgress(progress);
    }
    [[nodiscard]] bool writesProgress() const override { return checked_.writesProgress(); }
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

    [[nodiscard]] const std::vector<std::string>& errors() const { return errors_; }

  private:
    OutputCheckedObserver checked_;
    bool cardAsStatus_;
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

}  // namespace

std::optional<std::string> SerialPrompt::ask(std::size_t index, const std::stop_token& stop) {
    // One question at a time, on a line of its own that names the port, so that a scan never
    // lands on the wrong fixture.
    const std::lock_guard lock(mutex_);
    for (;;) {
        if (stop.stop_requested()) return std::nullopt;
        if (std::optional<std::string>& early = answered_[index]) {
            std::optional<std::string> serial = std::move(early);
            early.reset();
            return serial;
        }
        output_.ask(platform::printable(ports_[index]) + ": serial number?" +
                    (ports_.size() > 1 ? " (or PORT=SERIAL)" : ""));
        std::optional<std::string> serial = readLine(in_, stop);
        if (!serial) return std::nullopt;
        if (serial->empty()) {
            output_.ask(platform::printable(ports_[index]) + ": empty: scan again");
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

platform::Result<ports::OpenedPort> UnitWorker::openPort(link::Clock& clock) {
    const std::lock_guard lock(run_.openMutex);
    platform::Result<ports::OpenedPort> opened = run_.around.ports.open(port(), clock);
    if (opened && opened->slowAdapter) note(ports::slowAdapterAdvice(*opened->slowAdapter));
    return opened;
}

void UnitWorker::note(const std::string& text) {
    run_.output.note(index_, text);
    run_.checked.check();
}

std::optional<RefusedRecord> UnitWorker::refusedRecord(
    const download::DownloadResult& result) const {
    // A record that met a garbled reply, silence or noise was not refused by the controller.
    const std::int32_t line = result.refusedLine;
    const image::ImageRead& read = run_.plan.checked.read;
    if (result.cause != download::Cause::Refused || line < 2 || !read.image ||
        line > read.image->lineCount())
        return std::nullopt;
    return RefusedRecord{line, image::recordAddress(read.image->line(line))};
}

download::ResetHeard UnitWorker::runUnit(link::Link& link, std::optional<int> unit) {
    const LinePlan& plan = run_.plan;
    const LineOptions& options = plan.options;
    const std::unique_ptr<download::DownloadObserver> shown = run_.output.observer(index_, unit);
    // --quiet and --trace sit between the download and the sink; with several ports each trace
    // line names its port.
    std::optional<ModeObserver> modes;
    const ConsoleModes& consoleModes = run_.around.modes;
    if (consoleModes.quiet || consoleModes.trace) {
        modes.emplace(*shown, consoleModes, link.clock(), run_.output.err(),
                      plan.ports.size() > 1 ? platform::printable(port()) + ": " : "");
    }
    download::DownloadObserver& inner =
        modes ? static_cast<download::DownloadObserver&>(*modes) : *shown;
    UnitObserver observer(inner, options.station || plan.ports.size() > 1, run_.checked);

    UnitRecord record = plan.recordFor(index_, unit);
    if (options.askSerial) {
        record.serial = run_.prompt.ask(index_, run_.waits.get_token());
        if (!record.serial) {
            // A stop at the prompt is the run's cancel; an input that ended is a usage error.
            if (!run_.waits.stop_requested()) {
                note("No serial number: standard input ended");
                run_.tally.raise(index_, kExitUsage);
            }
            if (options.station) {
                // No serial number can be asked for any more: the unit that answered is left
                // unprogrammed, and no further unit is started.
                run_.waits.request_stop();
                if (unit) recordNotProgrammed(*unit);
            }
            return download::ResetHeard::Nothing;
        }
    }
    record.started = Wall::now();
    const double startedMs = link.clock().nowMs();
    link.setErrorSink(&observer);
    if (consoleModes.trace && modes) link.setTrace(&*modes);
    download::Downloader downloader(link, observer);
    downloader.setStopToken(run_.stop.get_token());
    if (options.station) downloader.setResetWatch(download::ResetWatch::EverySecond);
    downloader.setSkipErased(options.skipErased);
    const download::DownloadResult result = downloader.runDownload(plan.checked.read);
    link.setErrorSink(nullptr);
    link.setTrace(nullptr);
    const std::string advice = guidanceAfter(result, port());
    if (modes) modes->finish();
    run_.output.unitEnded(index_, result, advice);
    run_.checked.check();

    record.finished = Wall::now();
    record.seconds = (link.clock().nowMs() - startedMs) / 1000.0;
    if (result.model) record.model = link::protocol::number(*result.model);
    record.result = result.lastStatus;
    const int signal = run_.around.signalNumber();
    record.exit = exitCodeFor(result.ending, signal);
    // A run stopped because its output could not be written failed; no signal ended it.
    if (result.ending == download::Ending::Cancelled && run_.checked.failed() && signal == 0) {
        record.exit = kExitFailed;
    }
    if (record.skippedRecords.has_value()) record.skippedRecords = result.skippedRecords;
    record.errors = observer.errors();
    record.cause = download::causeName(result.cause);
    record.reply = hexBytes(result.reply);
    record.refusedRecord = refusedRecord(result);
    const image::ImageRead& read = plan.checked.read;
    if (result.ending == download::Ending::ImageRefused && result.model && read.image) {
        // The rules of the model that answered; the check before the ports held those of all.
        const image::PrescanResult prescan = image::prescanImage(*read.image, *result.model);
        if (!prescan.refusals.empty()) {
            record.refusal = {prescan.refusals.front().line, prescan.refusals.front().reason};
        }
    }
    record.advice = adviceLines(advice);
    keep(record);
    return result.resetHeard;
}

void UnitWorker::recordNotProgrammed(int unit) {
    run_.output.observer(index_, unit)
        ->showStatus(station_text::NotProgrammed, download::Severity::Error);
    UnitRecord record = run_.plan.recordFor(index_, unit);
    record.started = record.finished = Wall::now();
    record.result = station_text::NotProgrammed;
    record.exit = kExitFailed;
    record.cause = download::causeName(download::Cause::Cancelled);
    keep(record);
}

void UnitWorker::keep(const UnitRecord& record) {
    run_.tally.count(index_, record);
    // A lock on the log held by whoever can read it delays the record by at most the bound, and
    // a stop meanwhile writes it at once: a flashed unit is recorded either way.
    const platform::LockWait wait{.boundMs = run_.around.logLockBoundMs,
                                  .stop = run_.stop.get_token(),
                                  .note = [this](const std::string& text) { note(text); }};
    AuditLog* log = run_.plan.log.get();
    const platform::Result<void> logged =
        log != nullptr ? log->append(record, wait) : platform::Result<void>();
    run_.output.unitRecorded(index_, record, logged);
    if (!logged) {
        // The unit was flashed but not recorded: it counts as failed, and no further unit is
        // started, so that none is flashed unrecorded.
        run_.waits.request_stop();
        run_.tally.notRecorded(index_, record, kExitFailed);
        note("Log not written: " + logged.fault().text +
             (run_.plan.options.station ? "; no further unit is started" : ""));
    }
    run_.checked.check();
}

/// Station mode's view of one port: its link, its port as it comes and goes, and the run.
class UnitWorker::Station final : public StationPort {
  public:
    Station(UnitWorker& worker, link::Clock& clock, platform::Result<ports::OpenedPort> opened)
        : worker_(worker), clock_(clock), opened_(std::move(opened)) {
        if (opened_) link_.setPort(*opened_->port);
    }

    void run() {
        runStation(link_, worker_.run_.waits.get_token(), *this);
        if (opened_) opened_->port->close();
    }

    void showStatus(int unit, std::string_view text, download::Severity severity) override {
        unit_ = unit;
        worker_.run_.output.observer(worker_.index_, unit)->showStatus(text, severity);
        worker_.run_.checked.check();
    }
    download::ResetHeard download(int unit) override { return worker_.runUnit(link_, unit); }
    void recordNotProgrammed(int unit) override { worker_.recordNotProgrammed(unit); }

    void reopen() override {
        platform::Result<ports::OpenedPort> again = worker_.openPort(clock_);
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
        const std::unique_ptr<download::DownloadObserver> observer =
            worker_.run_.output.observer(worker_.index_, unit_);
        observer->showStatus("Waiting for port " + worker_.port(), download::Severity::Normal);
        observer->explainStatus(waitingFor_);
    }

  private:
    UnitWorker& worker_;
    link::Clock& clock_;
    platform::Result<ports::OpenedPort> opened_;
    link::ClosedPort closed_;
    link::Link link_{closed_, clock_};
    int unit_ = 1;
    std::string waitingFor_;
};

void UnitWorker::work() {
    const std::unique_ptr<link::Clock> clock = run_.around.newClock();
    platform::Result<ports::OpenedPort> opened = openPort(*clock);
    if (run_.plan.options.station) {
        // A port that cannot be opened yet is waited for: the station opens it once it appears.
        Station station(*this, *clock, std::move(opened));
        station.run();
        return;
    }
    if (!opened) {
        note(run_.plan.plain ? "cannot open port \"" + port() + "\": " + opened.fault().text
                             : "Cannot open port: " + opened.fault().text);
        run_.tally.raise(index_, kExitUsage, "Cannot open port");
        UnitRecord record;
        record.port = port();
        record.result = "Cannot open port";
        record.exit = kExitUsage;
        record.errors = {opened.fault().text};
        record.tags = run_.plan.tags;
        run_.output.portNotOpened(index_, record, opened.fault().text);
        return;
    }
    link::Link link(*opened->port, *clock);
    runUnit(link, std::nullopt);
    opened->port->close();
}

}  // namespace korvath::line
