// The whole-file check run before anything is erased: header, data records, the last record and
// its end line, the length limits and the image kind that the device model takes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "image/status.h"

namespace korvath::image {

/// Line numbers are 16-bit: a longer image is refused as "File too long".
inline constexpr std::int32_t kMaxImageLines = 32767;

/// Status texts of the image checks, all shown in StatusColorError.
namespace text {
inline constexpr std::string_view EmptyFile = "Empty file";
inline constexpr std::string_view WrongFileFormat = "Wrong file format";
inline constexpr std::string_view UnexpectedEndOfFile = "Unexpected end of file";
inline constexpr std::string_view FileTooLong = "File too long";
inline constexpr std::string_view WrongFileType = "Wrong file type";
inline constexpr std::string_view UnexpectedRecordLength = "Unexpected record length";
inline constexpr std::string_view ChecksumError = "Checksum Error";
}  // namespace text

/// Checks the image at `path` for `deviceModel` (1..3) in one sequential pass. Sets ImageKind to
/// 0, then to 1 or 2 (number of "S244E7FFC0" lines up to the last data line) and LastRecordLine
/// to the line number (header = 1) of the data line before the end line, when that pair is
/// found. Every line that the programming loop would send (after the header, before the first
/// line that begins with "S8") must be a data record that CheckRecord accepts. Each refusal is
/// one message in StatusColorError, except a file without an end pair, which is refused
/// silently. Open and read failures are reported the same way. True: the image may be sent.
bool PrescanImage(const std::filesystem::path& path, int deviceModel, std::int16_t& ImageKind,
                  std::int32_t& LastRecordLine, StatusSink& status);

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
