// Bootloader protocol constants in one place: frame bytes, reply bytes, time-outs, passwords.
// The frame builders are in frames.h, the exchange in link.h; the simulator reads these too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
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

/// A device model: the position (1..3) of the password its bootloader accepted.
enum class Model : std::uint8_t { M1 = 1, M2 = 2, M3 = 3 };

[[nodiscard]] constexpr int number(Model model) {
    return static_cast<int>(model);
}

inline constexpr std::size_t kPasswordLength = 6;

/// What tells the models apart: the access password and the external flash's sector numbers.
struct ModelFacts {
    Model model;
    std::string_view password;  ///< kPasswordLength characters
    int firstSector;            ///< absolute number of the first external-flash sector
    int sectorCount;            ///< external-flash sectors of kSectorBytes each
};

/// Every model, in the order the passwords are offered.
inline constexpr std::array<ModelFacts, 3> kModels = {{
    {Model::M1, "KPL-WU", 10, 8},
    {Model::M2, "RB-DAM", 14, 8},
    {Model::M3, "ZOH+VE", 10, 9},
}};

/// The facts of `model`.
[[nodiscard]] constexpr const ModelFacts& factsOf(Model model) {
    return kModels[static_cast<std::size_t>(number(model) - 1)];
}

/// The model numbered `deviceModel` (1..3); nothing for any other number.
[[nodiscard]] constexpr std::optional<Model> modelNumbered(int deviceModel) {
    if (deviceModel < 1 || deviceModel > static_cast<int>(kModels.size())) return std::nullopt;
    return kModels[static_cast<std::size_t>(deviceModel - 1)].model;
}

inline constexpr int kDefaultReplyTimeoutMs = 1000;  // probes, program and exit frames
inline constexpr int kLongReplyTimeoutMs = 5000;     // password, blank check, erase

/// A reply is complete once bytes arrived and the line then stayed quiet for more than this.
inline constexpr double kReplyQuietMs = 2.0;

/// The line: 38400 baud, 8 data bits, no parity, 1 stop bit, so ten bit times a byte.
inline constexpr int kBaudRate = 38400;
inline constexpr int kBitsPerByte = 10;
inline constexpr double kByteTimeMs = kBitsPerByte * 1000.0 / kBaudRate;

/// First external-flash sector number per device model 1..3; -1 for any other number.
[[nodiscard]] constexpr int sectorBaseFor(int deviceModel) {
    const std::optional<Model> model = modelNumbered(deviceModel);
    return model ? factsOf(*model).firstSector : -1;
}

/// Number of external-flash sectors per device model 1..3; 0 for any other number.
[[nodiscard]] constexpr int sectorCountFor(int deviceModel) {
    const std::optional<Model> model = modelNumbered(deviceModel);
    return model ? factsOf(*model).sectorCount : 0;
}

/// The absolute sector number of sector `index` (0-based) of a model's external flash.
[[nodiscard]] constexpr int sectorNumber(Model model, int index) {
    return factsOf(model).firstSector + index;
}

/// External flash layout: sector index i (0-based, whatever its sector number) holds the 64 KiB
/// from kFlashBase + i * kSectorBytes, so a model's flash ends where its last sector does.
inline constexpr std::uint32_t kFlashBase = 0xE00000;
inline constexpr std::uint32_t kSectorBytes = 0x10000;

/// One past the last external-flash address of `model`: E80000 for models 1 and 2, E90000 for
/// model 3.
[[nodiscard]] constexpr std::uint32_t flashEndFor(Model model) {
    return kFlashBase + static_cast<std::uint32_t>(factsOf(model).sectorCount) * kSectorBytes;
}

/// Where the image's last record (the one at E7FFC0, which tells the bootloader the image is
/// whole) is written: the top 64 bytes of the model's flash, so E8FFC0 on model 3.
[[nodiscard]] constexpr std::uint32_t lastRecordAddressFor(Model model) {
    return flashEndFor(model) - static_cast<std::uint32_t>(kRecordDataBytes);
}

}  // namespace korvath::link::protocol

namespace korvath::link {
using protocol::Model;
}  // namespace korvath::link
