// The audit record of a production line: one JSON object per unit and line (JSON Lines),
// appended to a file that several ports share.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/append_file.h"

namespace korvath::line {

/// KEY=VALUE pairs from --tag, in the order given.
using Tags = std::vector<std::pair<std::string, std::string>>;

/// The data record the controller did not take: its line in the image and its address.
struct RefusedRecord {
    std::int32_t line = 0;
    std::uint32_t address = 0;
};

/// Why the controller's model refused the image: the line (0 for the whole file) and reason.
struct ImageRefusal {
    std::int32_t line = 0;
    std::string reason;
};

/// What is known of one unit once its download has ended.
struct UnitRecord {
    std::string runId;  ///< the korvath-cli run's id, as newRunId() makes it
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
    std::optional<int> unit;  ///< station mode: 1, 2, ... per port; a plain run's unit is 1
    std::optional<RefusedRecord> refusedRecord;
    std::optional<ImageRefusal> refusal;  ///< the image was refused for the model that answered
    std::vector<std::string> advice;      ///< what to do next, one sentence or list item a line
    Tags tags;                            ///< from --tag
    std::optional<std::string> serial;    ///< the unit's serial number, from --ask-serial
    std::optional<int> skippedRecords;    ///< with --skip-erased: records left out as erased
    std::string cause;                    ///< why it failed (download::causeName); empty: Done!
    std::string reply;                    ///< the failing reply's bytes in hex, when any came
};

/// The tags of `texts` ("KEY=VALUE" each) up to the first one refused, and that refusal (an
/// InvalidArgument fault): a key is one or more letters, digits, '_', '-' or '.', and given
/// once. The tags read before a refusal still name the refused run in its result event.
struct ParsedTags {
    Tags tags;
    platform::Result<void> checked{};
};
[[nodiscard]] ParsedTags parseTags(const std::vector<std::string>& texts);

/// `bytes` as a random UUID (version 4): "1b4e28ba-2fa1-41d2-883f-0016d3cca427".
[[nodiscard]] std::string uuidText(std::array<std::uint8_t, 16> bytes);

/// A new run id: a random UUID from the system's random source. Every line of a run carries
/// it, so that the run id, port and unit name one line wherever the lines are gathered.
[[nodiscard]] std::string newRunId();

/// "2026-12-07T13:05:09.123Z".
[[nodiscard]] std::string isoUtc(std::chrono::system_clock::time_point when);

/// `value` as a JSON number, a whole one without a fraction ("21", not "21.0").
[[nodiscard]] nlohmann::json jsonNumber(double value);

/// `text` as a JSON string: bytes that are not UTF-8 are kept visible as "\xHH".
[[nodiscard]] nlohmann::json jsonText(std::string_view text);

/// --tag values as a JSON object.
[[nodiscard]] nlohmann::json tagsObject(const Tags& tags);

/// `address` as six upper-case hex digits, as the image and the status texts write it.
[[nodiscard]] std::string hexAddress(std::uint32_t address);

/// `bytes` as upper-case hex digits, two a byte ("3F06").
[[nodiscard]] std::string hexBytes(const std::vector<std::uint8_t>& bytes);

/// What a unit's log line and its result event share: result, exit, seconds, model, errors,
/// advice, tags; cause when it failed and reply when the failing exchange brought bytes;
/// refused_record ({line, address}) when the controller refused a record,
/// refusal ({line, reason}) when the image was refused for the model that answered, serial
/// when one was asked for, unit in station mode, skipped_records with --skip-erased.
[[nodiscard]] nlohmann::json verdictFields(const UnitRecord& record);

/// The record as one JSON object on one line, ending in "\n": the verdict's keys and run_id,
/// unit (1 outside station mode), started, finished, host, port, image, image_sha256, records
/// and version.
[[nodiscard]] std::string auditLine(const UnitRecord& record);

/// A log file opened for appending. Each record goes out as one write of one whole line and
/// is on the disk before append() returns, so a unit is never recorded in part and a power cut
/// loses at most the unit in progress. Threads may append at the same time: lines never mix.
class AuditLog {
  public:
    /// Opens (creating it if need be) `path` for appending: only a regular file on a file
    /// system with room for a line is taken.
    [[nodiscard]] static platform::Result<std::unique_ptr<AuditLog>> open(
        const std::filesystem::path& path);

    /// Writes the record's line; when that fails, nothing of it is left in the file. Another
    /// program's lock on the file is waited for as `wait` says, never longer.
    [[nodiscard]] platform::Result<void> append(const UnitRecord& record,
                                                const platform::LockWait& wait = {});

  private:
    explicit AuditLog(std::unique_ptr<platform::AppendFile> file) : file_(std::move(file)) {}
    std::unique_ptr<platform::AppendFile> file_;
};

}  // namespace korvath::line
