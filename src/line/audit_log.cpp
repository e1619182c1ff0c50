#include "line/audit_log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/escape.h"
#include "platform/platform.h"
#include "platform/random.h"

namespace korvath::line {

namespace {

// A log line is about 600 bytes; a file system without this much room is refused up front.
constexpr std::size_t kRoomForALine = 4096;

}  // namespace

ParsedTags parseTags(const std::vector<std::string>& texts) {
    ParsedTags parsed;
    const auto refused = [&](std::string text) {
        parsed.checked = platform::Fault{platform::ErrorNumber::InvalidArgument, std::move(text)};
        return parsed;
    };
    Tags& tags = parsed.tags;
    for (const std::string& text : texts) {
        const std::size_t equals = text.find('=');
        const std::string key = text.substr(0, equals);
        const bool keyOk = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.';
        });
        if (equals == std::string::npos || !keyOk) {
            return refused("--tag " + platform::printable(text) +
                           ": give KEY=VALUE, the key made of letters, digits, '_', '-' or '.'");
        }
        const auto same = [&](const auto& tag) { return tag.first == key; };
        if (std::any_of(tags.begin(), tags.end(), same))
            return refused("--tag " + key + " given twice");
        tags.emplace_back(key, text.substr(equals + 1));
    }
    return parsed;
}

std::string uuidText(std::array<std::uint8_t, 16> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(bytes[i]));
        text += hex;
    }
    return text;
}

std::string newRunId() {
    std::array<std::uint8_t, 16> bytes{};
    platform::randomBytes(bytes);
    return uuidText(bytes);
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

nlohmann::json jsonNumber(double value) {
    // A whole number is written without a fraction ("21", not "21.0").
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15)
        return static_cast<std::int64_t>(value);
    return value;
}

nlohmann::json jsonText(std::string_view text) {
    return platform::visibleUtf8(text);
}

nlohmann::json tagsObject(const Tags& tags) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : tags) object[platform::visibleUtf8(key)] = jsonText(value);
    return object;
}

std::string hexAddress(std::uint32_t address) {
    char text[12];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(address));
    return text;
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

nlohmann::json verdictFields(const UnitRecord& record) {
    nlohmann::json errors = nlohmann::json::array();
    for (const std::string& error : record.errors) errors.push_back(jsonText(error));
    nlohmann::json advice = nlohmann::json::array();
    for (const std::string& line : record.advice) advice.push_back(jsonText(line));
    nlohmann::json object{
        {"model", record.model ? nlohmann::json(*record.model) : nlohmann::json()},
        {"result", jsonText(record.result)},
        {"exit", record.exit},
        {"seconds", jsonNumber(std::round(record.seconds * 1000) / 1000)},
        {"errors", std::move(errors)},
        {"advice", std::move(advice)},
        {"tags", tagsObject(record.tags)},
    };
    if (record.refusedRecord) {
        object["refused_record"] = {{"line", record.refusedRecord->line},
                                    {"address", hexAddress(record.refusedRecord->address)}};
    }
    if (record.refusal) {
        object["refusal"] = {{"line", record.refusal->line},
                             {"reason", jsonText(record.refusal->reason)}};
    }
    if (!record.cause.empty()) object["cause"] = record.cause;
    if (!record.reply.empty()) object["reply"] = record.reply;
    if (record.serial) object["serial"] = jsonText(*record.serial);
    if (record.unit) object["unit"] = *record.unit;
    if (record.skippedRecords) object["skipped_records"] = *record.skippedRecords;
    return object;
}

std::string auditLine(const UnitRecord& record) {
    nlohmann::json object = verdictFields(record);
    object["run_id"] = record.runId;
    // Outside station mode each port downloads one unit.
    object["unit"] = record.unit.value_or(1);
    object["started"] = isoUtc(record.started);
    object["finished"] = isoUtc(record.finished);
    object["host"] = jsonText(record.host);
    object["port"] = jsonText(record.port);
    object["image"] = jsonText(platform::utf8Text(record.image));
    object["image_sha256"] = record.imageSha256;
    object["records"] = record.records;
    object["version"] = jsonText(record.version);
    std::string line = object.dump();
    line += '\n';
    return line;
}

platform::Result<std::unique_ptr<AuditLog>> AuditLog::open(const std::filesystem::path& path) {
    platform::Result<std::unique_ptr<platform::AppendFile>> opened =
        platform::AppendFile::open(path, kRoomForALine);
    if (!opened) return opened.fault();
    return std::unique_ptr<AuditLog>(new AuditLog(std::move(*opened)));
}

platform::Result<void> AuditLog::append(const UnitRecord& record, const platform::LockWait& wait) {
    return file_->append(auditLine(record), wait);
}

}  // namespace korvath::line
