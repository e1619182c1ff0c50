#include "image/record.h"

#include <array>

#include "link/protocol.h"

namespace korvath::image {

namespace {

namespace protocol = link::protocol;

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

// Frame indices and the 1-based line positions they are taken from.
constexpr std::size_t kAddressLowIndex = 3;
constexpr std::size_t kDataIndex = 6;
constexpr std::size_t kTerminatorIndex = 70;
constexpr std::size_t kChecksumLowIndex = 71;
constexpr std::size_t kChecksumHighIndex = 72;
constexpr std::size_t kAddressLowPosition = 9;  // address bits 0-7; bits 16-23 are at 5
constexpr std::size_t kDataPosition = 11;       // data byte j is at 11 + 2j
constexpr std::size_t kCountPosition = 3;
constexpr std::size_t kRecordChecksumPosition = 139;

}  // namespace

bool beginsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

std::uint8_t HexField(std::string_view line, std::size_t position) {
    unsigned value = 0;
    if (position == 0) return 0;
    for (std::size_t i = position - 1; i < position + 1 && i < line.size(); ++i) {
        const int digit = hexDigit(line[i]);
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint8_t>(value);
}

std::int16_t CheckRecord(const std::string& line) {
    if (line.size() != kDataLineLength || !beginsWith(line, kDataRecordPrefix)) return 0;
    // Plain pointers: this runs twice for every record of an image, in unoptimised builds too.
    const std::int8_t* const value = kHexDigits.data();
    const auto* const chars = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 1; i < kDataLineLength; ++i) {
        if (value[chars[i]] < 0) return 0;
    }
    // Count, address and data bytes from index 2 up to the checksum at index 138.
    unsigned sum = 0;
    for (std::size_t i = kCountPosition - 1; i < kRecordChecksumPosition - 1; i += 2)
        sum += static_cast<unsigned>(value[chars[i]] * 16 + value[chars[i + 1]]);
    const auto expected = static_cast<std::uint8_t>(~sum & 0xFFu);
    return HexField(line, kRecordChecksumPosition) == expected ? 1 : 0;
}

bool ProgramRecord(std::string& line, link::Link& link) {
    auto& frame = link.SendBuffer;
    frame[0] = protocol::kEscape;
    frame[1] = protocol::kCmdProgram;
    frame[2] = protocol::kProgramOperandCount;
    // The address goes out least significant byte first; take it before the line changes.
    for (std::size_t i = 0; i < 3; ++i)
        frame[kAddressLowIndex + i] = HexField(line, kAddressLowPosition - 2 * i);

    // The record's own checksum is not sent: the frame carries its own.
    line.resize(line.size() >= 2 ? line.size() - 2 : 0);
    line += "FF";

    // Data bytes go out swapped in pairs: D1 D0 D3 D2 ... D63 D62.
    for (std::size_t k = 0; k < protocol::kRecordDataBytes / 2; ++k) {
        frame[kDataIndex + 2 * k] = HexField(line, kDataPosition + 4 * k + 2);
        frame[kDataIndex + 2 * k + 1] = HexField(line, kDataPosition + 4 * k);
    }
    frame[kTerminatorIndex] = protocol::kTerminator;
    link.ComputeFrameChecksum(static_cast<int>(kTerminatorIndex + 1));
    frame[kChecksumLowIndex] = link.FrameChecksum.low;
    frame[kChecksumHighIndex] = link.FrameChecksum.high | protocol::kChecksumHighBit;

    // A reply that never comes must not be judged on an earlier ACK.
    link.ReplyBuffer[0] = 0;
    std::int16_t count = static_cast<std::int16_t>(protocol::kProgramFrameLength);
    link.LastExchangeResult = link.ExchangeFrame(count, true);
    return link.LastExchangeResult != 1 && link.ReplyBuffer[0] == protocol::kAck;
}

}  // namespace korvath::image
