#include "image/prescan.h"

#include <system_error>

#include "image/line_reader.h"
#include "image/record.h"

namespace korvath::image {

namespace {

constexpr std::size_t kAddressFieldStart = 4;  // characters 5-10, counted from 0
constexpr std::size_t kAddressFieldLength = 6;
constexpr int kModelTakingKind2 = 3;

bool addressTooHigh(std::string_view address) {
    return address == "E8FFC0" || beginsWith(address, "E9");
}

}  // namespace

bool PrescanImage(const std::filesystem::path& path, int deviceModel, std::int16_t& ImageKind,
                  std::int32_t& LastRecordLine, StatusSink& status) {
    ImageKind = 0;
    const auto refuse = [&status](std::string_view message) {
        status.ShowStatus(message, StatusColorError);
        return false;
    };

    LineReader reader(path);
    if (!reader.ok()) return refuse(reader.error());
    if (reader.atEnd()) return reader.ok() ? refuse(text::EmptyFile) : refuse(reader.error());

    bool result = false;
    int lastRecordCount = 0;
    std::string previousAddress;
    std::string current;
    std::string lookAhead;
    // Lines after the header up to the first "S8" line are the ones the programming loop sends.
    bool inSentLines = true;
    bool atFileEnd = false;
    std::int32_t lineNumber = 1;
    for (;;) {
        if (reader.atEnd()) {
            atFileEnd = true;
            break;
        }
        if (lineNumber == 1) {
            reader.readLine(current);
            if (!reader.ok()) return refuse(reader.error());
        } else {
            current = std::move(lookAhead);
        }
        lookAhead.clear();
        if (lineNumber == 1 && !beginsWith(current, kHeaderPrefix)) {
            refuse(text::WrongFileFormat);
            break;
        }
        if (lineNumber > 1 && inSentLines) {
            if (beginsWith(current, kEndRecordPrefix)) {
                inSentLines = false;
            } else if (!beginsWith(current, kDataRecordPrefix)) {
                result = refuse(text::UnexpectedRecordLength);
                break;
            } else if (CheckRecord(current) != 1) {
                result = refuse(text::ChecksumError);
                break;
            }
        }
        if (!reader.atEnd()) reader.readLine(lookAhead);
        if (!reader.ok()) return refuse(reader.error());

        if (beginsWith(current, kLastRecordPrefix)) {
            ++lastRecordCount;
            if (lookAhead.empty()) {
                result = refuse(text::UnexpectedEndOfFile);
                break;
            }
            if (beginsWith(lookAhead, kEndRecordPrefix)) {
                result = true;
                ImageKind = lastRecordCount == 1 ? 1 : 2;
                LastRecordLine = lineNumber;
            }
            if (addressTooHigh(previousAddress)) {
                result = refuse(text::FileTooLong);
                break;
            }
        }
        if (lineNumber == kMaxImageLines) {
            result = refuse(text::FileTooLong);
            break;
        }
        ++lineNumber;
        if (current.size() >= kAddressFieldStart + kAddressFieldLength)
            previousAddress = current.substr(kAddressFieldStart, kAddressFieldLength);
    }
    if (!reader.ok()) return refuse(reader.error());
    // The loop never takes the last line as its current line; a last record standing there has
    // no end line after it either.
    if (atFileEnd && lineNumber > 1 && beginsWith(lookAhead, kLastRecordPrefix))
        result = refuse(text::UnexpectedEndOfFile);
    reader.close();

    if (ImageKind == 2 && deviceModel != kModelTakingKind2) result = refuse(text::WrongFileType);
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
