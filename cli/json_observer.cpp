#include "json_observer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "audit_log.h"

namespace korvath::cli {

namespace {

QString qText(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

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

std::string line(const char* event, const std::string& port, std::optional<int> unit,
                 QJsonObject fields) {
    fields.insert("event", event);
    fields.insert("port", qText(port));
    if (unit) fields.insert("unit", *unit);
    std::string text = QJsonDocument(fields).toJson(QJsonDocument::Compact).toStdString();
    text += '\n';
    return text;
}

}  // namespace

std::string statusEvent(const std::string& port, std::optional<int> unit, std::string_view text,
                        download::Severity severity) {
    return line("status", port, unit,
                {{"text", qText(text)},
                 {"severity", severity == download::Severity::Error ? "error" : "normal"}});
}

std::string progressEvent(const std::string& port, std::optional<int> unit,
                          const download::Progress& progress) {
    return line(
        "progress", port, unit,
        {{"phase", phaseName(progress.phase)}, {"done", progress.done}, {"total", progress.total}});
}

std::string errorEvent(const std::string& port, std::optional<int> unit, int number,
                       const std::string& text) {
    return line("error", port, unit, {{"number", number}, {"text", qText(text)}});
}

std::string resultEvent(const UnitRecord& record) {
    return line("result", record.port, record.unit,
                {{"result", qText(record.result)},
                 {"exit", record.exit},
                 {"seconds", std::round(record.seconds * 1000) / 1000},
                 {"model", record.model ? QJsonValue(*record.model) : QJsonValue()}});
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
    if (last_ && last_->done == progress.done && last_->total == progress.total &&
        last_->phase == progress.phase) {
        return;
    }
    last_ = progress;
    stream_.write(progressEvent(port_, unit_, progress));
}

void JsonObserver::askToRemoveProgrammingCard() {
    stream_.write(statusEvent(port_, unit_, kCardStatus, download::Severity::Error));
}

void JsonObserver::reportError(int number, const std::string& description) {
    stream_.write(errorEvent(port_, unit_, number, description));
}

}  // namespace korvath::cli
