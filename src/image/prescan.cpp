#include "image/prescan.h"

#include <optional>
#include <system_error>

#include "image/line_reader.h"
#include "image/record.h"

namespace korvath::image {

namespace {

constexpr std::size_t kAddressFieldStart = 4;  // characters 5-10, counted from 0
constexpr std::size_t kAddressFieldLength = 6;
constexpr link::protocol::Model kModelTakingKind2 = link::protocol::Model::M3;

/// The refusal of a line that the programming loop sends, if it has one.
std::optional<std::string_view> refusalOfSentLine(std::string_view line) {
    if (!beginsWith(line, kDataRecordPrefix)) return text::UnexpectedRecordLength;
    if (!CheckRecord(line)) return text::ChecksumError;
    return std::nullopt;
}

/// Finds the pairs of a last record ("S244E7FFC0") and the end line right after it. The last
/// pair found gives the image kind and the last record's line; a last record with nothing
/// after it, or with an address beyond the flash on the line before it, refuses the image.
class EndPairs {
  public:
    /// Line `number` is `line`; `next` is the line after it, empty at the end of the file.
    std::optional<std::string_view> see(std::string_view line, std::string_view next,
                                        std::int32_t number) {
        if (beginsWith(line, kLastRecordPrefix)) {
            ++lastRecords_;
            if (next.empty()) return text::UnexpectedEndOfFile;
            if (beginsWith(next, kEndRecordPrefix)) {
                imageKind_ = lastRecords_ == 1 ? 1 : 2;
                lastRecordLine_ = number;
            }
            if (addressTooHigh(previousAddress_)) return text::FileTooLong;
        }
        if (line.size() >= kAddressFieldStart + kAddressFieldLength)
            previousAddress_ = line.substr(kAddressFieldStart, kAddressFieldLength);
        return std::nullopt;
    }

    /// The file ended after `lastLine`, which no line follows.
    [[nodiscard]] static std::optional<std::string_view> atFileEnd(std::string_view lastLine) {
        if (beginsWith(lastLine, kLastRecordPrefix)) return text::UnexpectedEndOfFile;
        return std::nullopt;
    }

    [[nodiscard]] std::int16_t imageKind() const { return imageKind_; }
    [[nodiscard]] std::int32_t lastRecordLine() const { return lastRecordLine_; }

  private:
    static bool addressTooHigh(std::string_view address) {
        return address == "E8FFC0" || beginsWith(address, "E9");
    }

    int lastRecords_ = 0;
    std::int16_t imageKind_ = 0;
    std::int32_t lastRecordLine_ = 0;
    std::string previousAddress_;
};

/// Runs the line checks over the whole file until the first refusal. False when reading failed.
bool scanLines(LineReader& reader, EndPairs& pairs, std::vector<std::string>& refusals) {
    const auto refuse = [&refusals](std::string_view message) {
        refusals.emplace_back(message);
        return true;
    };
    std::string line;
    std::string next;
    reader.readLine(line);
    if (!reader.ok()) return false;
    if (!beginsWith(line, kHeaderPrefix)) return refuse(text::WrongFileFormat);

    bool sentLines = true;  // after the header, up to the first "S8" line
    for (std::int32_t number = 1;; ++number) {
        if (number > 1 && sentLines) {
            if (beginsWith(line, kEndRecordPrefix)) {
                sentLines = false;
            } else if (const auto refusal = refusalOfSentLine(line)) {
                return refuse(*refusal);
            }
        }
        next.clear();
        if (!reader.atEnd()) reader.readLine(next);
        if (!reader.ok()) return false;
        if (const auto refusal = pairs.see(line, next, number)) return refuse(*refusal);
        if (number == kMaxImageLines) return refuse(text::FileTooLong);
        // The last line is never checked as a line of its own: it is only ever `next`.
        if (reader.atEnd()) break;
        line = std::move(next);
    }
    if (!reader.ok()) return false;
    if (const auto refusal = EndPairs::atFileEnd(next)) refuse(*refusal);
    return true;
}

}  // namespace

PrescanResult PrescanImage(const std::filesystem::path& path, link::protocol::Model model) {
    PrescanResult result;
    LineReader reader(path);
    // atEnd() reads ahead, so a read failure shows only after it.
    if (reader.ok() && reader.atEnd() && reader.ok()) {
        result.refusals.emplace_back(text::EmptyFile);
        return result;
    }
    EndPairs pairs;
    if (!reader.ok() || !scanLines(reader, pairs, result.refusals)) {
        result.refusals.push_back(reader.error());
        return result;
    }
    reader.close();

    result.imageKind = pairs.imageKind();
    result.lastRecordLine = pairs.lastRecordLine();
    if (result.imageKind == 2 && model != kModelTakingKind2)
        result.refusals.emplace_back(text::WrongFileType);
    result.accepted = result.lastRecordLine != 0 && result.refusals.empty();
    return result;
}

bool HasImageHeader(const std::filesystem::path& path) {
    LineReader reader(path);
    std::string first;
    return reader.readLine(first) && beginsWith(first, kHeaderPrefix);
}

ImageExtent MeasureImage(const std::filesystem::path& path, std::int64_t lineLimit) {
    ImageExtent extent;
    std::error_code ec;
    extent.bytes = std::filesystem::file_size(path, ec);
    if (ec) {
        extent.error = "Cannot open image file: " + ec.message();
        return extent;
    }
    LineReader reader(path);
    std::string line;
    while (extent.lines <= lineLimit && reader.readLine(line)) ++extent.lines;
    if (!reader.ok()) extent.error = reader.error();
    return extent;
}

}  // namespace korvath::image
