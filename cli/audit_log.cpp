#include "audit_log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

#include "platform/platform.h"

namespace korvath::cli {

namespace {

QString qText(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::string isoUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(when);
    const auto day = floor<days>(millis);
    const year_month_day date{day};
    const hh_mm_ss time{millis - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string auditLine(const UnitRecord& record) {
    QJsonArray errors;
    for (const std::string& error : record.errors) errors.append(qText(error));
    QJsonObject object{
        {"started", qText(isoUtc(record.started))},
        {"finished", qText(isoUtc(record.finished))},
        {"host", qText(record.host)},
        {"port", qText(record.port)},
        {"image", qText(platform::utf8Text(record.image))},
        {"image_sha256", qText(record.imageSha256)},
        {"records", record.records},
        {"model", record.model ? QJsonValue(*record.model) : QJsonValue(QJsonValue::Null)},
        {"result", qText(record.result)},
        {"exit", record.exit},
        {"seconds", std::round(record.seconds * 1000) / 1000},
        {"errors", errors},
        {"version", qText(record.version)},
    };
    if (record.unit) object.insert("unit", *record.unit);
    std::string line = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    line += '\n';
    return line;
}

AuditLog::Opened AuditLog::open(const std::filesystem::path& path) {
    platform::AppendFile::Opened opened = platform::AppendFile::open(path);
    if (!opened.file) return {nullptr, std::move(opened.error)};
    return {std::unique_ptr<AuditLog>(new AuditLog(std::move(opened.file))), {}};
}

std::string AuditLog::append(const UnitRecord& record) {
    return file_->append(auditLine(record));
}

}  // namespace korvath::cli
