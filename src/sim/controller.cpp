#include "sim/controller.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "link/protocol.h"

namespace korvath::sim {

namespace protocol = link::protocol;

namespace {

/// The longest frame a client can build in its 101-byte send buffer.
constexpr std::size_t kMaxOperands = protocol::kMaxFrameLength - 6;

std::string hexByte(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

std::string hexAddress(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(value));
    return text;
}

Response reply(std::uint8_t byte, double processingMs, std::string summary) {
    Response response;
    response.bytes = {byte};
    response.processingMs = processingMs;
    response.summary = std::move(summary);
    return response;
}

Response ack(double processingMs, std::string summary) {
    return reply(protocol::kAck, processingMs, std::move(summary));
}

Response nak(double processingMs, std::string summary) {
    return reply(protocol::kNak, processingMs, std::move(summary));
}

}  // namespace

platform::Result<void> checkOptions(const Options& options) {
    const auto refused = [](const char* text) {
        return platform::Fault{platform::ErrorNumber::InvalidArgument, text};
    };
    if (!protocol::modelNumbered(options.model)) return refused("the model must be 1, 2 or 3");
    if (options.eraseMs < 0 || options.programMs < 0 || options.blankCheckMs < 0)
        return refused("processing times must not be negative");
    if (options.nakProgram < 0 || options.dropEvery < 0 || options.garbleEvery < 0 ||
        options.babbleAfter < 0 || options.unplugAfter < 0 || options.longReplyEvery < 0)
        return refused("fault counts must not be negative");
    if (options.refuseEraseSector > 255) return refused("a sector number is 0 to 255");
    return {};
}

Controller::Controller(const Options& options) : options_(options), random_(options.seed) {
    if (const auto checked = checkOptions(options_); !checked)
        throw std::invalid_argument(checked.fault().text);
    flash_.assign(static_cast<std::size_t>(sectorCount()) * kSectorSize,
                  options_.dirty ? 0x00 : 0xFF);
}

int Controller::sectorBase() const {
    return protocol::sectorBaseFor(options_.model);
}

int Controller::sectorCount() const {
    return protocol::sectorCountFor(options_.model);
}

std::uint32_t Controller::flashEnd() const {
    return kFlashBase + static_cast<std::uint32_t>(flash_.size());
}

std::uint8_t Controller::readFlash(std::uint32_t address) const {
    if (address < kFlashBase || address >= flashEnd()) return 0xFF;
    return flash_[address - kFlashBase];
}

bool Controller::bootloaderAnswers() const {
    return !options_.silent && (!restarted_ || options_.card);
}

std::optional<Response> Controller::receive(std::uint8_t byte, double atMs) {
    if (parse_ != Parse::Idle && atMs - lastByteMs_ > kFrameGapMs) parse_ = Parse::Idle;
    lastByteMs_ = atMs;

    switch (parse_) {
        case Parse::Idle:
            if (byte == protocol::kProbe) {
                if (!bootloaderAnswers()) return std::nullopt;
                ++counters_.probes;
                return finish(ack(kCommandMs, "probe -> 06"));
            }
            // Anything but a probe or an escape is line noise between requests.
            if (byte == protocol::kEscape) {
                frame_.assign(1, byte);
                parse_ = Parse::Letter;
            }
            return std::nullopt;
        case Parse::Letter:
            frame_.push_back(byte);
            parse_ = Parse::Count;
            return std::nullopt;
        case Parse::Count:
            frame_.push_back(byte);
            if (byte > kMaxOperands) {
                // No client can send this; waiting for its length would swallow real frames.
                parse_ = Parse::Idle;
                if (!bootloaderAnswers()) return std::nullopt;
                ++counters_.badFrames;
                return finish(nak(kCommandMs, "oversized frame -> 15"));
            }
            frameLength_ = static_cast<std::size_t>(byte) + 6;
            parse_ = Parse::Body;
            return std::nullopt;
        case Parse::Body:
            frame_.push_back(byte);
            if (frame_.size() < frameLength_) return std::nullopt;
            parse_ = Parse::Idle;
            if (!bootloaderAnswers()) return std::nullopt;
            return finish(handleFrame());
    }
    return std::nullopt;
}

Response Controller::handleFrame() {
    const std::size_t n = frame_[2];
    unsigned sum = 0;
    for (std::size_t i = 0; i < n + 4; ++i) sum += frame_[i];
    const auto low = static_cast<std::uint8_t>(sum & 0xFF);
    const auto high = static_cast<std::uint8_t>((sum >> 8) | protocol::kChecksumHighBit);
    if (frame_[3 + n] != protocol::kTerminator) {
        ++counters_.badFrames;
        return nak(kCommandMs, "bad terminator -> 15");
    }
    if (frame_[4 + n] != low || frame_[5 + n] != high) {
        ++counters_.badFrames;
        return nak(kCommandMs, "bad checksum -> 15");
    }

    const std::uint8_t letter = frame_[1];
    if (letter == protocol::kCmdExit && n == 0) {
        ++counters_.exits;
        // The reply goes out before the restart; afterwards only a card keeps the bootloader.
        unlocked_ = false;
        restarted_ = true;
        return ack(kCommandMs, "exit -> 06");
    }
    if (letter == protocol::kCmdPassword) {
        ++counters_.passwords;
        const std::string_view expected =
            protocol::kModels[static_cast<std::size_t>(options_.model - 1)].password;
        const std::string_view offered(reinterpret_cast<const char*>(frame_.data() + 3), n);
        const std::string summary = "password \"" + std::string(offered) + "\"";
        if (options_.refusePasswords || offered != expected)
            return nak(kCommandMs, summary + " -> 15");
        unlocked_ = true;
        return ack(kCommandMs, summary + " -> 06");
    }
    if (letter == protocol::kCmdBlankCheck && n == 1) {
        ++counters_.blankChecks;
        if (!unlocked_) return nak(kCommandMs, "blank check while locked -> 15");
        return blankCheck(frame_[3]);
    }
    if (letter == protocol::kCmdErase && n == 1) {
        ++counters_.erases;
        if (!unlocked_) return nak(kCommandMs, "erase while locked -> 15");
        return erase(frame_[3]);
    }
    if (letter == protocol::kCmdProgram && n == protocol::kProgramOperandCount) {
        ++counters_.programs;
        if (!unlocked_) return nak(kCommandMs, "program while locked -> 15");
        Response response = program();
        response.unplug = options_.unplugAfter != 0 && counters_.programs == options_.unplugAfter;
        return response;
    }
    ++counters_.badFrames;
    return nak(kCommandMs, "unknown command " + hexByte(letter) + " -> 15");
}

std::optional<std::size_t> Controller::sectorOffset(std::uint8_t sector) const {
    const int index = sector - sectorBase();
    if (index < 0 || index >= sectorCount()) return std::nullopt;
    return static_cast<std::size_t>(index) * kSectorSize;
}

Response Controller::blankCheck(std::uint8_t sector) {
    const std::string what = "blank check " + std::to_string(sector);
    const auto offset = sectorOffset(sector);
    if (!offset) return nak(kCommandMs, what + " (no such sector) -> 15");
    const auto begin = flash_.begin() + static_cast<std::ptrdiff_t>(*offset);
    const bool blank =
        std::all_of(begin, begin + kSectorSize, [](std::uint8_t b) { return b == 0xFF; });
    return blank ? ack(options_.blankCheckMs, what + " -> 06")
                 : nak(options_.blankCheckMs, what + " (not blank) -> 15");
}

Response Controller::erase(std::uint8_t sector) {
    const std::string what = "erase " + std::to_string(sector);
    const auto offset = sectorOffset(sector);
    if (!offset) return nak(kCommandMs, what + " (no such sector) -> 15");
    if (sector == options_.refuseEraseSector)
        return nak(options_.eraseMs, what + " (refused) -> 15");
    const auto begin = flash_.begin() + static_cast<std::ptrdiff_t>(*offset);
    std::fill(begin, begin + kSectorSize, std::uint8_t{0xFF});
    return ack(options_.eraseMs, what + " -> 06");
}

Response Controller::program() {
    const std::uint32_t address = frame_[3] | (frame_[4] << 8) | (frame_[5] << 16);
    const std::string what = "program " + hexAddress(address);
    if (options_.nakProgram != 0 && counters_.programs == options_.nakProgram)
        return nak(options_.programMs, what + " (fault) -> 15");
    if (address < kFlashBase || address + protocol::kRecordDataBytes > flashEnd())
        return nak(kCommandMs, what + " (outside the flash) -> 15");

    const std::size_t offset = address - kFlashBase;
    const auto target = flash_.begin() + static_cast<std::ptrdiff_t>(offset);
    // Flash only clears bits; a byte that is not erased cannot take new data.
    if (!std::all_of(target, target + protocol::kRecordDataBytes,
                     [](std::uint8_t b) { return b == 0xFF; }))
        return nak(options_.programMs, what + " (not erased) -> 15");
    // The client sends each pair of data bytes swapped.
    for (std::size_t k = 0; k < protocol::kRecordDataBytes / 2; ++k) {
        flash_[offset + 2 * k] = frame_[7 + 2 * k];
        flash_[offset + 2 * k + 1] = frame_[6 + 2 * k];
    }
    return ack(options_.programMs, what + " -> 06");
}

std::optional<Response> Controller::finish(Response response) {
    const int n = ++counters_.replies;
    if (options_.babbleAfter != 0 && n == options_.babbleAfter) response.babble = true;
    if (options_.dropEvery != 0 && n % options_.dropEvery == 0) {
        response.bytes.clear();
        response.summary += " (dropped)";
        return response;
    }
    if (options_.garbleEvery != 0 && n % options_.garbleEvery == 0) {
        std::uniform_int_distribution<int> anyByte(0, 254);
        for (auto& b : response.bytes) {
            // 0..254 mapped around the ACK value: every byte but ACK is possible.
            const int value = anyByte(random_);
            b = static_cast<std::uint8_t>(value >= protocol::kAck ? value + 1 : value);
        }
        response.summary += " (garbled)";
    }
    if (options_.longReplyEvery != 0 && n % options_.longReplyEvery == 0) {
        response.bytes.insert(response.bytes.end(), kLongReplyFiller, kFillerByte);
        response.together = true;
        response.summary += " (+" + std::to_string(kLongReplyFiller) + " filler)";
    }
    return response;
}

platform::Result<void> Controller::dump(const std::filesystem::path& path) const {
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return platform::faultFromErrno(errno, "cannot open " + path.string() + " for writing");
    out.write(reinterpret_cast<const char*>(flash_.data()),
              static_cast<std::streamsize>(flash_.size()));
    out.close();
    if (!out) return platform::faultFromErrno(errno, "cannot write " + path.string());
    return {};
}

}  // namespace korvath::sim
