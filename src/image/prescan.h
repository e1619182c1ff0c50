// The whole-image check run before anything is erased: header, data records, the last record
// and its end line, the length limits, the image kind that the device model takes, and where
// every record would land in the controller's flash.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_file.h"
#include "link/protocol.h"

namespace korvath::image {

/// Status texts of the image checks, all shown as errors.
namespace text {
inline constexpr std::string_view EmptyFile = "Empty file";
inline constexpr std::string_view WrongFileFormat = "Wrong file format";
inline constexpr std::string_view UnexpectedEndOfFile = "Unexpected end of file";
inline constexpr std::string_view FileTooLong = "File too long";
inline constexpr std::string_view WrongFileType = "Wrong file type";
inline constexpr std::string_view UnexpectedRecordLength = "Unexpected record length";
inline constexpr std::string_view ChecksumError = "Checksum Error";
/// A data record whose address is not a multiple of 64.
inline constexpr std::string_view MisalignedRecord = "Misaligned record";
/// A data record outside E00000-E8FFFF, or outside the sectors of the model that answered.
inline constexpr std::string_view RecordOutsideFlash = "Record outside flash";
/// A second data record for an address already written.
inline constexpr std::string_view DuplicateAddress = "Duplicate address";
/// The lines that are sent do not end with the record at E7FFC0 and the end line after it.
inline constexpr std::string_view NoLastRecord = "No last record E7FFC0";
}  // namespace text

/// One reason to refuse an image: the status text and, beside it, the line it concerns and
/// why, for people.
struct Refusal {
    std::string status;
    std::int32_t line = 0;  ///< 1 for the header; 0 when it concerns the whole file
    std::string reason;     ///< one sentence without the line number

    /// "line N: reason", or the reason alone for the whole file.
    [[nodiscard]] std::string detail() const;
    friend bool operator==(const Refusal&, const Refusal&) = default;
};

/// What the pre-scan found out about an image.
struct PrescanResult {
    /// True: the image may be sent.
    bool accepted = false;
    /// 1 or 2: the number of "S244E7FFC0" lines up to the last data line before an end line;
    /// 0 when no such pair was found.
    std::int16_t imageKind = 0;
    /// Line number (header = 1) of the last record sent: the data line right before the first
    /// end line, when it begins with "S244E7FFC0"; 0 otherwise.
    std::int32_t lastRecordLine = 0;
    /// Why the image was refused, in the order they are shown.
    std::vector<Refusal> refusals;

    /// The status texts of the refusals, in order.
    [[nodiscard]] std::vector<std::string> statuses() const;
};

/// Checks `image` for `model`. First the line rules: every line the programming loop would
/// send (after the header, before the first line that begins with "S8") must be a data record
/// that checkRecord accepts, a last record must have an end line after it and no address beyond
/// the flash before it, and an image of kind 2 only suits model 3. When those hold, the records
/// sent: each on a 64-byte boundary, inside the model's sectors, no address twice (the last
/// record counted where it lands), and the last one sent is the record at E7FFC0.
[[nodiscard]] PrescanResult prescanImage(const ImageFile& image, link::protocol::Model model);

/// True when the file's first line begins with "S0"; false also when the file is empty, is not
/// a regular file or cannot be read. A file too long to be taken is left to the image checks,
/// which refuse it as "File too long": true.
[[nodiscard]] bool hasImageHeader(const std::filesystem::path& path);

namespace detail {

/// What the line rules found, before any model is known.
struct LineScan {
    std::vector<Refusal> refusals;
    std::int16_t imageKind = 0;
    /// The first line after the header that begins with "S8"; 0 when there is none.
    std::int32_t endLine = 0;
};
[[nodiscard]] LineScan scanLines(const ImageFile& image);

/// The first record rule that the sent records break. `model` null: the rules every model
/// shares, with the last record of a kind-2 image counted at E8FFC0 (only model 3 takes one).
[[nodiscard]] std::optional<Refusal> refusalOfRecords(const ImageFile& image, const LineScan& scan,
                                                      std::optional<link::protocol::Model> model);

}  // namespace detail

}  // namespace korvath::image
