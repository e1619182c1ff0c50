#include "line/json_observer.h"

#include <utility>

namespace korvath::line {

namespace {

const char* countName(download::Count count) {
    switch (count) {
        case download::Count::None:
            break;
        case download::Count::Probe:
            return "probe";
        case download::Count::PasswordRound:
            return "password round";
        case download::Count::Sector:
            return "sector";
        case download::Count::Record:
            return "record";
        case download::Count::Second:
            return "second";
    }
    return "";
}

Event portEvent(const char* event, const std::string& port, std::optional<int> unit, Event fields) {
    fields["event"] = event;
    fields["port"] = jsonText(port);
    if (unit) fields["unit"] = *unit;
    return fields;
}

}  // namespace

const char* phaseName(download::Phase phase) {
    switch (phase) {
        case download::Phase::Connecting:
            return "connecting";
        case download::Phase::Erasing:
            return "erasing";
        case download::Phase::Programming:
            return "programming";
        case download::Phase::Resetting:
            return "resetting";
    }
    return "connecting";
}

Event statusEvent(const std::string& port, std::optional<int> unit, std::string_view text,
                  download::Severity severity) {
    return portEvent("status", port, unit,
                     {{"text", jsonText(text)},
                      {"severity", severity == download::Severity::Error ? "error" : "normal"}});
}

Event explanationEvent(const std::string& port, std::optional<int> unit, std::string_view text) {
    return portEvent("explanation", port, unit, {{"text", jsonText(text)}});
}

Event progressEvent(const std::string& port, std::optional<int> unit,
                    const download::Progress& progress) {
    // What is really sent in the phase (records of the image's records, sectors, ...), not
    // the bar, whose steps follow the file's length.
    const bool counted = progress.count != download::Count::None;
    return portEvent("progress", port, unit,
                     {{"phase", phaseName(progress.phase)},
                      {"counts", countName(progress.count)},
                      {"done", counted ? progress.step : 0},
                      {"total", counted ? progress.steps : 0}});
}

Event errorEvent(const std::string& port, std::optional<int> unit, const platform::Fault& fault) {
    return portEvent("error", port, unit,
                     {{"number", static_cast<int>(fault.number)}, {"text", jsonText(fault.text)}});
}

Event resultEvent(const UnitRecord& record) {
    Event event = verdictFields(record);
    event["scope"] = "unit";
    return portEvent("result", record.port, record.unit, std::move(event));
}

Event runResultEvent(const RunResult& run) {
    Event event{{"event", "result"},
                {"scope", "run"},
                {"exit", run.exit},
                {"result", jsonText(run.result)},
                {"passed", run.passed},
                {"failed", run.failed},
                {"tags", tagsObject(run.tags)}};
    if (!run.reason.empty()) event["reason"] = jsonText(run.reason);
    if (run.line > 0) event["line"] = run.line;
    return event;
}

std::string eventLine(Event event, std::chrono::system_clock::time_point when) {
    event["time"] = isoUtc(when);
    std::string text = event.dump();
    text += '\n';
    return text;
}

bool EventStream::write(Event event) {
    const std::lock_guard lock(mutex_);
    const std::string text = eventLine(std::move(event), now_());
    const bool written = std::fwrite(text.data(), 1, text.size(), out_) == text.size();
    return std::fflush(out_) == 0 && written;
}

void JsonObserver::showStatus(std::string_view text, download::Severity severity) {
    stream_.write(statusEvent(port_, unit_, text, severity));
}

void JsonObserver::showProgress(const download::Progress& progress) {
    // The download also reports a bar that did not move; an event says something new.
    if (last_ && last_->step == progress.step && last_->steps == progress.steps &&
        last_->count == progress.count && last_->phase == progress.phase) {
        return;
    }
    last_ = progress;
    stream_.write(progressEvent(port_, unit_, progress));
}

void JsonObserver::explainStatus(std::string_view reason) {
    stream_.write(explanationEvent(port_, unit_, reason));
}

void JsonObserver::askToRemoveProgrammingCard() {
    stream_.write(statusEvent(port_, unit_, kCardStatus, download::Severity::Error));
}

void JsonObserver::reportError(const platform::Fault& fault) {
    stream_.write(errorEvent(port_, unit_, fault));
}

}  // namespace korvath::line
