// The audit record of a production line: one JSON object per unit and line (JSON Lines),
// appended to a file that several ports share.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/append_file.h"

namespace korvath::cli {

/// What is known of one unit once its download has ended.
struct UnitRecord {
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point finished;
    std::string host;
    std::string port;
    std::filesystem::path image;  ///< absolute
    std::string imageSha256;      ///< 64 lower-case hex digits
    int records = 0;
    std::optional<int> model;  ///< 1..3 once a password was accepted
    std::string result;        ///< the last status text
    int exit = 0;              ///< the unit's exit code
    double seconds = 0;
    std::vector<std::string> errors;  ///< "<n> - <text>", in order
    std::string version;
    std::optional<int> unit;  ///< station mode: 1, 2, ... per port
};

/// "2026-12-07T13:05:09.123Z".
[[nodiscard]] std::string isoUtc(std::chrono::system_clock::time_point when);

/// `value` as a JSON number, a whole one without a fraction ("21", not "21.0").
[[nodiscard]] nlohmann::json jsonNumber(double value);

/// The record as one JSON object on one line, ending in "\n", with exactly the keys started,
/// finished, host, port, image, image_sha256, records, model, result, exit, seconds, errors,
/// version, and unit when it is set.
[[nodiscard]] std::string auditLine(const UnitRecord& record);

/// A log file opened for appending. Each record goes out as one write of one whole line and
/// is on the disk before append() returns, so a unit is never recorded in part and a power cut
/// loses at most the unit in progress. Threads may append at the same time: lines never mix.
class AuditLog {
  public:
    struct Opened {
        std::unique_ptr<AuditLog> log;  ///< empty when the file cannot be written
        std::string error;              ///< then why
    };

    /// Opens (creating it if need be) `path` for appending.
    [[nodiscard]] static Opened open(const std::filesystem::path& path);

    /// Empty on success, else why the line could not be written.
    [[nodiscard]] std::string append(const UnitRecord& record);

  private:
    explicit AuditLog(std::unique_ptr<platform::AppendFile> file) : file_(std::move(file)) {}
    std::unique_ptr<platform::AppendFile> file_;
};

}  // namespace korvath::cli
