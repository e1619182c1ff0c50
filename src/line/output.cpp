#include "line/output.h"

#include "line/guidance.h"
#include "line/station.h"
#include "line/tally.h"
#include "platform/escape.h"

namespace korvath::line {

namespace {

/// The one console observer of a plain run, lent to each unit in turn.
class Lent final : public download::DownloadObserver {
  public:
    explicit Lent(download::DownloadObserver& inner) : inner_(inner) {}
    void showStatus(std::string_view text, download::Severity severity) override {
        inner_.showStatus(text, severity);
    }
    void explainStatus(std::string_view reason) override { inner_.explainStatus(reason); }
    void showProgress(const download::Progress& progress) override {
        inner_.showProgress(progress);
    }
    [[nodiscard]] bool writesProgress() const override { return inner_.writesProgress(); }
    void askToRemoveProgrammingCard() override { inner_.askToRemoveProgrammingCard(); }
    void reportError(const platform::Fault& fault) override { inner_.reportError(fault); }

  private:
    download::DownloadObserver& inner_;
};

}  // namespace

void LineOutput::portNotOpened(std::size_t, const UnitRecord&, const std::string&) {}

void LineOutput::runEnded(const RunResult&) {}

void LineOutput::refused(const RunResult& result) {
    printError(result.reason);
    runEnded(result);
}

void LineOutput::ask(const std::string& line) {
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
}

void LineOutput::statusLine(std::string_view text) {
    std::fprintf(out_, "%s\n", platform::printable(text).c_str());
    std::fflush(out_);
}

void LineOutput::printError(const std::string& text) {
    std::fprintf(err_, "korvath-cli: %s\n", platform::printable(text).c_str());
}

ConsoleOutput::ConsoleOutput(std::string port, std::FILE* out, std::FILE* err, std::FILE* in,
                             bool drawBar, bool waitForEnter, std::stop_token stop, bool station)
    : LineOutput({std::move(port)}, out, err),
      console_(out, err, in, drawBar, waitForEnter),
      station_(station) {
    console_.setStopToken(std::move(stop));
}

std::unique_ptr<download::DownloadObserver> ConsoleOutput::observer(std::size_t,
                                                                    std::optional<int>) {
    return std::make_unique<Lent>(console_);
}

void ConsoleOutput::note(std::size_t, const std::string& text) {
    printError(text);
}

void ConsoleOutput::unitEnded(std::size_t index, const download::DownloadResult& result,
                              const std::string&) {
    console_.finish();
    printGuidance(result, port(index), err());
}

void ConsoleOutput::unitRecorded(std::size_t, const UnitRecord&,
                                 const platform::Result<void>& logged) {
    // "Done!" is not the last word of a unit that was not recorded.
    if (!logged) console_.showStatus(station_text::NotRecorded, download::Severity::Error);
}

void ConsoleOutput::summary(const LineTally& tally) {
    if (!station_) return;
    std::fputs(tally.table().c_str(), out());
    std::fflush(out());
}

BoardOutput::BoardOutput(std::vector<std::string> ports, std::FILE* out, std::FILE* err, bool board,
                         int columns, int rows)
    : LineOutput(ports, out, err), console_(std::move(ports), out, err, board, columns, rows) {}

std::unique_ptr<download::DownloadObserver> BoardOutput::observer(std::size_t port,
                                                                  std::optional<int>) {
    return std::make_unique<PortLineObserver>(console_, port);
}

void BoardOutput::note(std::size_t port, const std::string& text) {
    console_.status(port, text);
}

void BoardOutput::unitEnded(std::size_t port, const download::DownloadResult&,
                            const std::string& advice) {
    if (!advice.empty()) console_.advice(port, advice);
}

void BoardOutput::unitRecorded(std::size_t port, const UnitRecord&,
                               const platform::Result<void>& logged) {
    if (!logged) console_.status(port, station_text::NotRecorded);
}

void BoardOutput::summary(const LineTally& tally) {
    console_.finish();
    std::fputs(tally.table().c_str(), out());
    std::fflush(out());
}

EventOutput::EventOutput(std::vector<std::string> ports, std::FILE* out, std::FILE* err)
    : LineOutput(std::move(ports), out, err), stream_(out) {}

std::unique_ptr<download::DownloadObserver> EventOutput::observer(std::size_t index,
                                                                  std::optional<int> unit) {
    return std::make_unique<JsonObserver>(stream_, port(index), unit);
}

void EventOutput::note(std::size_t index, const std::string& text) {
    stream_.write(statusEvent(port(index), std::nullopt, text, download::Severity::Error));
}

void EventOutput::unitRecorded(std::size_t, const UnitRecord& record,
                               const platform::Result<void>& logged) {
    Event event = resultEvent(record);
    if (!logged) {
        event["log_error"] = jsonText(logged.fault().text);
        if (record.cause.empty()) event["cause"] = download::causeName(download::Cause::LogFailed);
    }
    stream_.write(std::move(event));
}

void EventOutput::portNotOpened(std::size_t, const UnitRecord& record, const std::string& reason) {
    Event event = resultEvent(record);
    event["reason"] = jsonText(reason);
    stream_.write(std::move(event));
}

void EventOutput::runEnded(const RunResult& result) {
    stream_.write(runResultEvent(result));
}

}  // namespace korvath::line
