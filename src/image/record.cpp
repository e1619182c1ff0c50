#include "image/record.h"

#include <algorithm>
#include <array>

namespace korvath::image {

namespace {

// Value of each character as a hex digit, -1 for characters that are not one.
constexpr std::array<std::int8_t, 256> kHexDigits = [] {
    std::array<std::int8_t, 256> digits{};
    digits.fill(-1);
    for (int i = 0; i < 10; ++i) digits['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        digits['A' + i] = static_cast<std::int8_t>(10 + i);
        digits['a' + i] = static_cast<std::int8_t>(10 + i);
    }
    return digits;
}();

int hexDigit(char c) {
    return kHexDigits[static_cast<unsigned char>(c)];
}

// 1-based line positions of the fields.
constexpr std::size_t kAddressHighPosition = 5;  // address bits 16-23; bits 0-7 are at 9
constexpr std::size_t kDataPosition = 11;        // data byte j is at 11 + 2j
constexpr std::size_t kCountPosition = 3;
constexpr std::size_t kRecordChecksumPosition = 139;

}  // namespace

bool beginsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

std::uint8_t hexField(std::string_view line, std::size_t position) {
    unsigned value = 0;
    if (position == 0) return 0;
    for (std::size_t i = position - 1; i < position + 1 && i < line.size(); ++i) {
        const int digit = hexDigit(line[i]);
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint8_t>(value);
}

bool checkRecord(std::string_view line) {
    if (line.size() != kDataLineLength || !beginsWith(line, kDataRecordPrefix)) return false;
    // Plain pointers: this runs for every record of an image, in unoptimised builds too.
    const std::int8_t* const value = kHexDigits.data();
    const auto* const chars = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 1; i < kDataLineLength; ++i) {
        if (value[chars[i]] < 0) return false;
    }
    // Count, address and data bytes from index 2 up to the checksum at index 138.
    unsigned sum = 0;
    for (std::size_t i = kCountPosition - 1; i < kRecordChecksumPosition - 1; i += 2)
        sum += static_cast<unsigned>(value[chars[i]] * 16 + value[chars[i + 1]]);
    const auto expected = static_cast<std::uint8_t>(~sum & 0xFFu);
    return hexField(line, kRecordChecksumPosition) == expected;
}

std::uint32_t recordAddress(std::string_view line) {
    std::uint32_t address = 0;
    for (std::size_t i = 0; i < 3; ++i)
        address = (address << 8) | hexField(line, kAddressHighPosition + 2 * i);
    return address;
}

link::DataRecord dataRecord(std::string_view line) {
    link::DataRecord record;
    record.address = recordAddress(line);
    // The data is read from the line with its last two characters taken as "FF", a field ending
    // at its first character that is not a hex digit. This runs once for every record sent:
    // the line is read where it lies, not copied.
    const std::size_t kept = line.size() >= 2 ? line.size() - 2 : 0;
    const std::size_t shown = kept + 2;
    const std::int8_t* const value = kHexDigits.data();
    const auto* const chars = reinterpret_cast<const unsigned char*>(line.data());
    constexpr std::size_t kDataEnd = kDataPosition + 2 * link::protocol::kRecordDataBytes - 1;
    std::size_t j = 0;
    // Both digits of every field within the line: the common case, without the checks below.
    if (kept >= kDataEnd) {
        for (; j < record.data.size(); ++j) {
            const int high = value[chars[kDataPosition - 1 + 2 * j]];
            const int low = value[chars[kDataPosition + 2 * j]];
            if (high < 0 || low < 0) break;
            record.data[j] = static_cast<std::uint8_t>(high * 16 + low);
        }
    }
    for (; j < record.data.size(); ++j) {
        unsigned value = 0;
        for (std::size_t i = kDataPosition - 1 + 2 * j; i < kDataPosition + 1 + 2 * j && i < shown;
             ++i) {
            const int digit = i < kept ? hexDigit(line[i]) : 0xF;
            if (digit < 0) break;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        record.data[j] = static_cast<std::uint8_t>(value);
    }
    return record;
}

bool isErasedState(const link::DataRecord& record) {
    return std::all_of(record.data.begin(), record.data.end(),
                       [](std::uint8_t byte) { return byte == 0xFF; });
}

}  // namespace korvath::image
