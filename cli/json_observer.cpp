#include "json_observer.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "audit_log.h"

namespace korvath::cli {

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

std::string line(const char* event, const std::string& port, std::optional<int> unit,
                 nlohmann::json fields) {
    // Keys come out in alphabetical order; bad UTF-8 bytes as U+FFFD.
    fields["event"] = event;
    fields["port"] = port;
    if (unit) fields["unit"] = *unit;
    std::string written = fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    written += '\n';
    return written;
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

std::string statusEvent(const std::string& port, std::optional<int> unit, std::string_view text,
                        download::Severity severity) {
    return line("status", port, unit,
                {{"text", std::string(text)},
                 {"severity", severity == download::Severity::Error ? "error" : "normal"}});
}

std::string progressEvent(const std::string& port, std::optional<int> unit,
                          const download::Progress& progress) {
    // What is really sent in the phase (records of the image's records, sectors, ...), not
    // the bar, whose steps follow the file's length.
    const bool counted = progress.count != download::Count::None;
    return line("progress", port, unit,
                {{"phase", phaseName(progress.phase)},
                 {"counts", countName(progress.count)},
                 {"done", counted ? progress.step : 0},
                 {"total", counted ? progress.steps : 0}});
}

std::string errorEvent(const std::string& port, std::optional<int> unit, int number,
                       const std::string& text) {
    return line("error", port, unit, {{"number", number}, {"text", text}});
}

std::string resultEvent(const UnitRecord& record) {
    return line(
        "result", record.port, record.unit,
        {{"result", record.result},
         {"exit", record.exit},
         {"seconds", jsonNumber(std::round(record.seconds * 1000) / 1000)},
         {"model", record.model ? nlohmann::json(*record.model) : nlohmann::json(nullptr)}});
}

void EventStream::write(const std::string& text) {
    const std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
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
    stream_.write(line("explanation", port_, unit_, {{"text", std::string(reason)}}));
}

void JsonObserver::askToRemoveProgrammingCard() {
    stream_.write(statusEvent(port_, unit_, kCardStatus, download::Severity::Error));
}

void JsonObserver::reportError(int number, const std::string& description) {
    stream_.write(errorEvent(port_, unit_, number, description));
}

}  // namespace korvath::cli
