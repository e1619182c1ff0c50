#include "audit_log.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace korvath::cli {

namespace {

// Text that is not valid UTF-8 is written with U+FFFD in place of each bad byte.
constexpr auto kReplaceBadUtf8 = nlohmann::json::error_handler_t::replace;

}  // namespace

nlohmann::json jsonNumber(double value) {
    // A whole number is written without a fraction ("21", not "21.0").
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15)
        return static_cast<std::int64_t>(value);
    return value;
}

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
    // Keys come out in alphabetical order.
    nlohmann::json object{
        {"started", isoUtc(record.started)},
        {"finished", isoUtc(record.finished)},
        {"host", record.host},
        {"port", record.port},
        {"image", platform::utf8Text(record.image)},
        {"image_sha256", record.imageSha256},
        {"records", record.records},
        {"model", record.model ? nlohmann::json(*record.model) : nlohmann::json(nullptr)},
        {"result", record.result},
        {"exit", record.exit},
        {"seconds", jsonNumber(std::round(record.seconds * 1000) / 1000)},
        {"errors", record.errors},
        {"version", record.version},
    };
    if (record.unit) object["unit"] = *record.unit;
    std::string line = object.dump(-1, ' ', false, kReplaceBadUtf8);
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
