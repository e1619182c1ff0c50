// The whole-file check run before anything is erased: header, data records, the last record and
// its end line, the length limits and the image kind that the device model takes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "link/protocol.h"

namespace korvath::image {

/// Line numbers are 16-bit: a longer image is refused as "File too long".
inline constexpr std::int32_t kMaxImageLines = 32767;

/// Status texts of the image checks, all shown as errors.
namespace text {
inline constexpr std::string_view EmptyFile = "Empty file";
inline constexpr std::string_view WrongFileFormat = "Wrong file format";
inline constexpr std::string_view UnexpectedEndOfFile = "Unexpected end of file";
inline constexpr std::string_view FileTooLong = "File too long";
inline constexpr std::string_view WrongFileType = "Wrong file type";
inline constexpr std::string_view UnexpectedRecordLength = "Unexpected record length";
inline constexpr std::string_view ChecksumError = "Checksum Error";
}  // namespace text

/// What the pre-scan found out about an image.
struct PrescanResult {
    /// True: the image may be sent.
    bool accepted = false;
    /// 1 or 2: the number of "S244E7FFC0" lines up to the last data line before an end line;
    /// 0 when no such pair was found.
    std::int16_t imageKind = 0;
    /// Line number (header = 1) of that data line; 0 when no pair was found.
    std::int32_t lastRecordLine = 0;
    /// Why the image was refused, as status texts in the order they are shown. A file without
    /// an end pair is refused without a text.
    std::vector<std::string> refusals;
};

/// Checks the image at `path` for `model` in one sequential pass. Every line that the
/// programming loop would send (after the header, before the first line that begins with "S8")
/// must be a data record that CheckRecord accepts, a last record must have an end line after
/// it and no address beyond the flash before it, and an image of kind 2 only suits model 3.
/// Open and read failures are refusals too.
[[nodiscard]] PrescanResult PrescanImage(const std::filesystem::path& path,
                                         link::protocol::Model model);

/// True when the file's first line begins with "S0"; false also when the file is empty or
/// cannot be opened or read.
[[nodiscard]] bool HasImageHeader(const std::filesystem::path& path);

/// What a download needs to know about an image before it starts: its length in bytes and its
/// number of lines, counted up to one past `lineLimit`. `error` is empty when both were taken.
struct ImageExtent {
    std::uintmax_t bytes = 0;
    std::int64_t lines = 0;
    std::string error;
};
[[nodiscard]] ImageExtent MeasureImage(const std::filesystem::path& path, std::int64_t lineLimit);

}  // namespace korvath::image
