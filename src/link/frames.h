// The bootloader's command frames as values: pure builders for every frame the tool sends and
// the checksum they carry. Sending a frame and judging the reply is the link's business.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/link_error.h"
#include "link/protocol.h"

namespace korvath::link {

/// The two checksum bytes of a frame, low first on the wire.
struct ChecksumPair {
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    friend bool operator==(const ChecksumPair&, const ChecksumPair&) = default;
};

/// Sum of `bytes`: low = sum mod 256, high = sum div 256 with bit 7 always set, as the frame
/// format requires (a sum of at most 101 x 255 leaves the other seven bits exact).
/// LinkError Overflow for no bytes, IndexOutOfRange for more than kMaxFrameLength.
[[nodiscard]] constexpr ChecksumPair frameChecksum(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) throw LinkError(ErrorNumber::Overflow);
    if (bytes.size() > protocol::kMaxFrameLength) throw LinkError(ErrorNumber::IndexOutOfRange);
    unsigned sum = 0;
    for (const std::uint8_t byte : bytes) sum += byte;
    return {static_cast<std::uint8_t>(sum % 256),
            static_cast<std::uint8_t>((sum / 256) | protocol::kChecksumHighBit)};
}

/// A command frame: escape, `letter`, operand count, the operands, terminator, checksum of
/// everything before it.
template <std::size_t N>
[[nodiscard]] constexpr std::array<std::uint8_t, N + 6> commandFrame(
    std::uint8_t letter, const std::array<std::uint8_t, N>& operands) {
    std::array<std::uint8_t, N + 6> frame{};
    frame[0] = protocol::kEscape;
    frame[1] = letter;
    frame[2] = static_cast<std::uint8_t>(N);
    for (std::size_t i = 0; i < N; ++i) frame[3 + i] = operands[i];
    frame[3 + N] = protocol::kTerminator;
    const ChecksumPair checksum = frameChecksum(std::span(frame.data(), N + 4));
    frame[4 + N] = checksum.low;
    frame[5 + N] = checksum.high;
    return frame;
}

static_assert(commandFrame(protocol::kCmdExit, std::array<std::uint8_t, 0>{}) ==
              protocol::kExitFrame);

using PasswordFrame = std::array<std::uint8_t, protocol::kPasswordLength + 6>;

/// The unlock frame offering `password`, each character as its 8-bit code.
[[nodiscard]] constexpr PasswordFrame passwordFrame(std::string_view password) {
    std::array<std::uint8_t, protocol::kPasswordLength> operands{};
    for (std::size_t i = 0; i < operands.size() && i < password.size(); ++i)
        operands[i] = static_cast<std::uint8_t>(password[i]);
    return commandFrame(protocol::kCmdPassword, operands);
}

/// The two commands addressed to one external-flash sector.
enum class SectorCommand : std::uint8_t {
    BlankCheck = protocol::kCmdBlankCheck,
    Erase = protocol::kCmdErase,
};

using SectorFrame = std::array<std::uint8_t, 7>;

/// The blank-check or erase frame of the absolute sector number `sector`.
[[nodiscard]] constexpr SectorFrame sectorFrame(SectorCommand command, std::uint8_t sector) {
    return commandFrame(static_cast<std::uint8_t>(command), std::array<std::uint8_t, 1>{sector});
}

/// What one program frame writes: 64 data bytes at a 24-bit flash address.
struct DataRecord {
    std::uint32_t address = 0;  ///< bits 24-31 are not sent
    std::array<std::uint8_t, protocol::kRecordDataBytes> data{};
    friend bool operator==(const DataRecord&, const DataRecord&) = default;
};

using ProgramFrame = std::array<std::uint8_t, protocol::kProgramFrameLength>;

/// The program frame of `record`: the address least significant byte first, then the data
/// bytes swapped in pairs (D1 D0 D3 D2 ... D63 D62), as the bootloader writes 16-bit words.
[[nodiscard]] constexpr ProgramFrame programFrame(const DataRecord& record) {
    std::array<std::uint8_t, protocol::kProgramOperandCount> operands{};
    for (std::size_t i = 0; i < 3; ++i)
        operands[i] = static_cast<std::uint8_t>((record.address >> (8 * i)) & 0xFF);
    for (std::size_t j = 0; j < record.data.size(); ++j) operands[3 + (j ^ 1)] = record.data[j];
    return commandFrame(protocol::kCmdProgram, operands);
}

}  // namespace korvath::link
