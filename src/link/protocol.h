// Bootloader protocol constants in one place: frame bytes, reply bytes, time-outs, passwords.
// The frame builders are in frames.h, the exchange in link.h; the simulator reads these too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvath::link::protocol {

inline constexpr std::size_t kMaxFrameLength = 101;  // bytes of one command frame
inline constexpr std::size_t kMaxReplyLength = 51;   // bytes of one reply; more is a fault

inline constexpr std::uint8_t kProbe = 0x90;
inline constexpr std::uint8_t kEscape = 0x1B;
inline constexpr std::uint8_t kTerminator = 0x04;
inline constexpr std::uint8_t kChecksumHighBit = 0x80;

inline constexpr std::uint8_t kCmdPassword = 0x73;    // 's'
inline constexpr std::uint8_t kCmdBlankCheck = 0x77;  // 'w'
inline constexpr std::uint8_t kCmdErase = 0x75;       // 'u'
inline constexpr std::uint8_t kCmdProgram = 0x74;     // 't'
inline constexpr std::uint8_t kCmdExit = 0x7E;        // '~'

inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

inline constexpr std::array<std::uint8_t, 6> kExitFrame = {0x1B, 0x7E, 0x00, 0x04, 0x9D, 0x80};

inline constexpr std::size_t kProgramFrameLength = 73;
inline constexpr std::uint8_t kProgramOperandCount = 0x43;  // 3 address + 64 data bytes
inline constexpr std::size_t kRecordDataBytes = 64;

/// Access passwords, tried in this order; the accepted position is the device model.
inline constexpr std::size_t kPasswordLength = 6;
inline constexpr std::array<std::string_view, 3> kPasswords = {"KPL-WU", "RB-DAM", "ZOH+VE"};

/// A device model: the position (1..3) of the password its bootloader accepted.
enum class Model : std::uint8_t { M1 = 1, M2 = 2, M3 = 3 };

[[nodiscard]] constexpr int number(Model model) {
    return static_cast<int>(model);
}

inline constexpr int kDefaultReplyTimeoutMs = 1000;  // probes, program and exit frames
inline constexpr int kLongReplyTimeoutMs = 5000;     // password, blank check, erase

/// A reply is complete once bytes arrived and the line then stayed quiet for more than this.
inline constexpr double kReplyQuietMs = 2.0;

/// First external-flash sector number per device model 1..3; -1 for any other number.
[[nodiscard]] constexpr int sectorBaseFor(int deviceModel) {
    return (deviceModel == 1 || deviceModel == 3) ? 10 : (deviceModel == 2 ? 14 : -1);
}

/// Number of external-flash sectors per device model 1..3.
[[nodiscard]] constexpr int sectorCountFor(int deviceModel) {
    return deviceModel == 3 ? 9 : (deviceModel == 1 || deviceModel == 2 ? 8 : 0);
}

/// The absolute sector number of sector `index` (0-based) of a model's external flash.
[[nodiscard]] constexpr int sectorNumber(Model model, int index) {
    return sectorBaseFor(number(model)) + index;
}

/// External flash layout: sector index i (0-based, whatever its sector number) holds the 64 KiB
/// from kFlashBase + i * kSectorBytes, so a model's flash ends where its last sector does.
inline constexpr std::uint32_t kFlashBase = 0xE00000;
inline constexpr std::uint32_t kSectorBytes = 0x10000;

/// One past the last external-flash address of `model`: E80000 for models 1 and 2, E90000 for
/// model 3.
[[nodiscard]] constexpr std::uint32_t flashEndFor(Model model) {
    return kFlashBase + static_cast<std::uint32_t>(sectorCountFor(number(model))) * kSectorBytes;
}

}  // namespace korvath::link::protocol

namespace korvath::link {
using protocol::Model;
}  // namespace korvath::link
