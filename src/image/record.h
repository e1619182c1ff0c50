// One image line as the programming loop sees it: the record prefixes, the acceptance test of a
// data line and its conversion into the record that the link sends as a program frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/frames.h"

namespace korvath::image {

inline constexpr std::string_view kHeaderPrefix = "S0";
inline constexpr std::string_view kDataRecordPrefix = "S244";
inline constexpr std::string_view kEndRecordPrefix = "S8";
/// The record at E7FFC0, the last 64-byte block below E80000, which stands before the end line.
inline constexpr std::string_view kLastRecordPrefix = "S244E7FFC0";
inline constexpr std::size_t kDataLineLength = 140;

/// Exact, case-sensitive prefix test; a line shorter than the prefix does not match.
[[nodiscard]] bool beginsWith(std::string_view line, std::string_view prefix);

/// The byte held by the two-character hex field at 1-based `position` of `line`. The field is
/// read up to its first character that is not a hex digit, and a position past the end of the
/// line ends it too: "4A" gives 0x4A, "4" or "4G" gives 4, "G4", "" or " 4" give 0.
[[nodiscard]] std::uint8_t hexField(std::string_view line, std::size_t position);

/// True when `line` is a well-formed data record: it begins with "S244", has 140 characters,
/// holds only hex digits after the "S" and its checksum (characters 139-140, the ones'
/// complement of the sum of the count, address and data bytes) is right.
[[nodiscard]] bool checkRecord(std::string_view line);

/// The 24-bit address of a data line (characters 5-10), read by hexField.
[[nodiscard]] std::uint32_t recordAddress(std::string_view line);

/// The address (characters 5-10) and the 64 data bytes (from character 11) of a data line,
/// each field read by hexField. The line's last two characters are read as "FF": the record's
/// checksum is not data, and a line cut short gives its closing bytes as FF and zeros beyond.
[[nodiscard]] link::DataRecord dataRecord(std::string_view line);

/// True when every data byte of `record` is 0xFF: what erased NOR flash reads, so programming
/// it into an erased block changes no bit.
[[nodiscard]] bool isErasedState(const link::DataRecord& record);

}  // namespace korvath::image
