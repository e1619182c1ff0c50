#include "image/prescan.h"

#include <cstdio>

#include "image/record.h"

namespace korvath::image {

namespace {

namespace protocol = link::protocol;

constexpr std::size_t kAddressFieldStart = 4;  // characters 5-10, counted from 0
constexpr std::size_t kAddressFieldLength = 6;
constexpr protocol::Model kModelTakingKind2 = protocol::Model::M3;
constexpr std::uint32_t kRecordBytes = protocol::kRecordDataBytes;
constexpr std::uint32_t kLastRecordAddress = 0xE7FFC0;
constexpr std::uint32_t kMovedLastRecordAddress = protocol::lastRecordAddressFor(kModelTakingKind2);
/// The flash of the largest model: what any model could hold.
constexpr std::uint32_t kAnyFlashEnd = protocol::flashEndFor(protocol::Model::M3);

std::string hex6(std::uint32_t address) {
    char text[8];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(address & 0xFFFFFFu));
    return text;
}

/// The start of `text` in quotes, its bytes kept apart: a tab as "\t", any other byte outside
/// printable ASCII as "\xHH" (a byte-order mark reads "\xef\xbb\xbf"), never all alike.
std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 16;
    std::string shown;
    for (const char c : text.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(byte));
            shown += escape;
        } else {
            shown += c;
        }
    }
    return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

/// Why checkRecord refuses `line`, in words.
std::string recordFault(std::string_view line) {
    if (line.size() != kDataLineLength)
        return "a data record has " + std::to_string(kDataLineLength) + " characters, this one " +
               std::to_string(line.size());
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (hexField(line.substr(i, 1), 1) == 0 && line[i] != '0')
            return "character " + std::to_string(i + 1) + " is not a hex digit";
    }
    unsigned sum = 0;
    for (std::size_t position = 3; position < kDataLineLength - 1; position += 2)
        sum += hexField(line, position);
    return "its checksum is " + std::string(line.substr(kDataLineLength - 2)) +
           ", its bytes give " + hex6(~sum & 0xFFu).substr(4);
}

/// The refusal of a line that the programming loop sends, if it has one.
std::optional<Refusal> refusalOfSentLine(std::string_view line, std::int32_t number) {
    if (!beginsWith(line, kDataRecordPrefix))
        return Refusal{std::string(text::UnexpectedRecordLength), number,
                       quoted(line) +
                           " is neither a data record (\"S244\") nor the end line "
                           "(\"S8\")"};
    if (!checkRecord(line))
        return Refusal{std::string(text::ChecksumError), number, recordFault(line)};
    return std::nullopt;
}

/// Finds the pairs of a last record ("S244E7FFC0") and the end line right after it. The last
/// pair found gives the image kind; a last record with nothing after it, or with an address
/// beyond the flash on the line before it, refuses the image.
class EndPairs {
  public:
    /// Line `number` is `line`; `next` is the line after it, empty at the end of the file.
    std::optional<Refusal> see(std::string_view line, std::string_view next, std::int32_t number) {
        if (beginsWith(line, kLastRecordPrefix)) {
            ++lastRecords_;
            if (next.empty())
                return Refusal{std::string(text::UnexpectedEndOfFile), number,
                               "the last record (E7FFC0) is not followed by the end line"};
            if (beginsWith(next, kEndRecordPrefix)) imageKind_ = lastRecords_ == 1 ? 1 : 2;
            if (addressTooHigh(previousAddress_))
                return Refusal{std::string(text::FileTooLong), number,
                               "the record before the last one is at " + previousAddress_ +
                                   ", beyond the flash"};
        }
        if (line.size() >= kAddressFieldStart + kAddressFieldLength)
            previousAddress_ = line.substr(kAddressFieldStart, kAddressFieldLength);
        return std::nullopt;
    }

    /// The file ended after `lastLine` (line `number`), which no line follows.
    [[nodiscard]] static std::optional<Refusal> atFileEnd(std::string_view lastLine,
                                                          std::int32_t number) {
        if (beginsWith(lastLine, kLastRecordPrefix))
            return Refusal{std::string(text::UnexpectedEndOfFile), number,
                           "the last record (E7FFC0) is the file's last line"};
        return std::nullopt;
    }

    [[nodiscard]] std::int16_t imageKind() const { return imageKind_; }

  private:
    static bool addressTooHigh(std::string_view address) {
        return address == "E8FFC0" || beginsWith(address, "E9");
    }

    int lastRecords_ = 0;
    std::int16_t imageKind_ = 0;
    std::string previousAddress_;
};

}  // namespace

std::string Refusal::detail() const {
    return line > 0 ? "line " + std::to_string(line) + ": " + reason : reason;
}

std::vector<std::string> PrescanResult::statuses() const {
    std::vector<std::string> texts;
    for (const Refusal& refusal : refusals) texts.push_back(refusal.status);
    return texts;
}

namespace detail {

LineScan scanLines(const ImageFile& image) {
    LineScan scan;
    const std::int32_t count = image.lineCount();
    if (count == 0) {
        scan.refusals.push_back({std::string(text::EmptyFile), 0, "the file is empty"});
        return scan;
    }
    if (!beginsWith(image.line(1), kHeaderPrefix)) {
        scan.refusals.push_back(
            {std::string(text::WrongFileFormat), 1,
             "the first line, " + quoted(image.line(1)) + ", does not begin with \"S0\""});
        return scan;
    }
    EndPairs pairs;
    const auto finish = [&](std::optional<Refusal> refusal) {
        if (refusal) scan.refusals.push_back(std::move(*refusal));
        scan.imageKind = pairs.imageKind();
        return scan;
    };
    // The last line is never judged as a line of its own: it is only ever the one after.
    for (std::int32_t number = 1; number < count || number == 1; ++number) {
        const std::string_view line = image.line(number);
        const std::string_view next = image.line(number + 1);
        if (number > 1 && scan.endLine == 0) {
            if (auto refusal = refusalOfSentLine(line, number)) return finish(std::move(refusal));
        }
        if (scan.endLine == 0 && beginsWith(next, kEndRecordPrefix)) scan.endLine = number + 1;
        if (auto refusal = pairs.see(line, next, number)) return finish(std::move(refusal));
        if (number == kMaxImageLines)
            return finish(
                Refusal{std::string(text::FileTooLong), number,
                        "an image has at most " + std::to_string(kMaxImageLines) + " lines"});
        if (number + 1 >= count) break;
    }
    return finish(count >= 2 ? EndPairs::atFileEnd(image.line(count), count) : std::nullopt);
}

std::optional<Refusal> refusalOfRecords(const ImageFile& image, const LineScan& scan,
                                        std::optional<protocol::Model> model) {
    const std::int32_t lastSent = scan.endLine > 0 ? scan.endLine - 1 : image.lineCount() - 1;
    const bool moveLast = model ? *model == protocol::Model::M3 : scan.imageKind == 2;
    const std::uint32_t flashEnd = model ? protocol::flashEndFor(*model) : kAnyFlashEnd;
    // The line that first wrote each 64-byte block of the largest flash; 0 for none yet.
    std::vector<std::int32_t> writtenBy((kAnyFlashEnd - protocol::kFlashBase) / kRecordBytes, 0);

    for (std::int32_t number = 2; number <= lastSent; ++number) {
        const std::string_view line = image.line(number);
        std::uint32_t address = recordAddress(line);
        const bool moved = moveLast && number == lastSent && beginsWith(line, kLastRecordPrefix);
        if (moved) address = kMovedLastRecordAddress;
        // Worded only for a refusal: this loop runs for every record.
        const auto at = [address] { return "the record at " + hex6(address); };
        if (address % kRecordBytes != 0)
            return Refusal{std::string(text::MisalignedRecord), number,
                           at() + " does not begin on a 64-byte boundary"};
        if (address < protocol::kFlashBase || address + kRecordBytes > kAnyFlashEnd)
            return Refusal{
                std::string(text::RecordOutsideFlash), number,
                at() + " is outside the external flash E00000-" + hex6(kAnyFlashEnd - 1)};
        if (address + kRecordBytes > flashEnd)
            return Refusal{std::string(text::RecordOutsideFlash), number,
                           at() + " is outside the flash of model " +
                               std::to_string(protocol::number(*model)) + " (E00000-" +
                               hex6(flashEnd - 1) + ")"};
        std::int32_t& first = writtenBy[(address - protocol::kFlashBase) / kRecordBytes];
        if (first != 0)
            return Refusal{std::string(text::DuplicateAddress), number,
                           (moved ? "the last record, which model 3 writes at E8FFC0, lands on "
                                    "the record of line "
                                  : at() + " was already written by line ") +
                               std::to_string(first)};
        first = number;
    }

    if (scan.endLine >= 3 && beginsWith(image.line(scan.endLine - 1), kLastRecordPrefix))
        return std::nullopt;
    if (scan.endLine == 0)
        return Refusal{std::string(text::NoLastRecord), image.lineCount(),
                       "the file ends without the record at E7FFC0 followed by an end line "
                       "(\"S8\")"};
    const std::string_view before = image.line(scan.endLine - 1);
    std::string what = "the first end line follows ";
    if (scan.endLine == 2) {
        what += "the header";
    } else if (recordAddress(before) == kLastRecordAddress) {
        what += "a record written " + quoted(before.substr(0, 10)) +
                "; the last record begins with \"S244E7FFC0\" in capitals";
    } else {
        what += "the record at " + hex6(recordAddress(before)) + ", not the one at E7FFC0";
    }
    return Refusal{std::string(text::NoLastRecord), scan.endLine, what};
}

}  // namespace detail

PrescanResult prescanImage(const ImageFile& image, link::protocol::Model model) {
    const detail::LineScan scan = detail::scanLines(image);
    PrescanResult result;
    result.imageKind = scan.imageKind;
    result.refusals = scan.refusals;
    if (result.imageKind == 2 && model != kModelTakingKind2)
        result.refusals.push_back({std::string(text::WrongFileType), 0,
                                   "the image holds more than one record at E7FFC0 (kind 2), "
                                   "which only model 3 takes; this controller is model " +
                                       std::to_string(protocol::number(model))});
    if (result.refusals.empty()) {
        if (auto refusal = detail::refusalOfRecords(image, scan, model))
            result.refusals.push_back(std::move(*refusal));
    }
    if (scan.endLine >= 3 && beginsWith(image.line(scan.endLine - 1), kLastRecordPrefix))
        result.lastRecordLine = scan.endLine - 1;
    result.accepted = result.refusals.empty();
    return result;
}

bool hasImageHeader(const std::filesystem::path& path) {
    const ImageRead read = readImage(path);
    if (read.failure == ReadFailure::TooLong) return true;
    return read.image && beginsWith(read.image->line(1), kHeaderPrefix);
}

}  // namespace korvath::image
