// The simulated controller's bootloader as a byte-stream state machine: it parses what arrives on
// the line, keeps the external flash of one device model and says what to send back and when.
// Moving the bytes (in-process port, pseudo-terminal) is left to SimPort and the korvath-sim
// program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "platform/fault.h"

namespace korvath::sim {

using link::protocol::kByteTimeMs;

/// A partial frame is dropped when its next byte is this late, so the parser resyncs.
inline constexpr double kFrameGapMs = 100.0;

/// Processing time of the quick commands: probe, password, exit, refusals.
inline constexpr double kCommandMs = 0.2;

/// After babbling has started, a burst of babble bytes this often, forever. A burst is longer
/// than any reply may be, so whatever the host reads while the device babbles is too long,
/// also when the host stalls for longer than the reply gap between two bursts.
inline constexpr double kBabbleIntervalMs = 1.0;
inline constexpr std::size_t kBabbleBurst = 64;
static_assert(kBabbleBurst > link::protocol::kMaxReplyLength);
inline constexpr std::uint8_t kBabbleByte = 0xA5;

/// A long reply is the normal reply followed by this many filler bytes. Its bytes leave the
/// device together, when the last of them would be out at line speed: a host that stalls for
/// longer than the reply gap would otherwise see two short replies instead of one long one.
inline constexpr std::size_t kLongReplyFiller = 60;
inline constexpr std::uint8_t kFillerByte = 0x00;

/// External flash: 64 KiB sectors from this address on, laid out as the download expects.
inline constexpr std::uint32_t kFlashBase = link::protocol::kFlashBase;
inline constexpr std::uint32_t kSectorSize = link::protocol::kSectorBytes;

/// How the simulated device behaves. Counts are 1-based; 0 switches a fault off.
struct Options {
    int model = 1;               ///< 1, 2 or 3: which password it accepts, which sectors it has
    bool card = false;           ///< programming card plugged in: the bootloader survives exit
    bool pacing = true;          ///< 38400 baud timing on the line, both ways
    double eraseMs = 300.0;      ///< time to erase one sector (may exceed the client's time-out)
    double programMs = 2.0;      ///< time to program one 64-byte record
    double blankCheckMs = 20.0;  ///< time to check one sector

    bool silent = false;           ///< never answers anything
    bool refusePasswords = false;  ///< NAKs every password
    int nakProgram = 0;            ///< NAKs the N-th program frame (nothing is written)
    int dropEvery = 0;             ///< every N-th reply is not sent (the command still runs)
    int garbleEvery = 0;           ///< every N-th reply has each byte replaced by a non-ACK byte
    int babbleAfter = 0;           ///< after the N-th reply, a babble burst every 1 ms forever
    int unplugAfter = 0;           ///< after N program frames the line dies as more arrives
    int refuseEraseSector = -1;    ///< NAKs every erase of this absolute sector, erasing nothing
    bool dirty = false;            ///< the flash starts filled with 0x00 instead of erased
    int longReplyEvery = 0;        ///< every N-th reply carries 60 filler bytes after it
    std::uint32_t seed = 1;        ///< for the garbled bytes
};

/// Validates `options`: done when they are usable, else what is wrong (InvalidArgument).
[[nodiscard]] platform::Result<void> checkOptions(const Options& options);

/// What the device does after one complete request.
struct Response {
    std::vector<std::uint8_t> bytes;  ///< the reply; empty when nothing is sent
    double processingMs = 0;          ///< from the request's last byte to the first reply byte
    bool babble = false;              ///< start babbling once these bytes are out
    bool together = false;            ///< the bytes leave at once, when the last would be out
    bool unplug = false;              ///< the line dies when the next byte reaches the device
    std::string summary;              ///< one line for a log, e.g. "program E00040 -> 06"
};

/// How many requests of each kind the device has seen (bad frames included under badFrames).
struct Counters {
    int probes = 0;
    int passwords = 0;
    int blankChecks = 0;
    int erases = 0;
    int programs = 0;
    int exits = 0;
    int badFrames = 0;
    int replies = 0;  ///< answered requests, dropped replies included
};

class Controller {
  public:
    /// Throws std::invalid_argument when checkOptions() refuses `options`.
    explicit Controller(const Options& options);

    /// Takes one byte that finished arriving at `atMs` (any monotonic millisecond scale).
    /// Returns the response when the byte completes a request (a probe or a whole frame).
    std::optional<Response> receive(std::uint8_t byte, double atMs);

    [[nodiscard]] const Options& options() const { return options_; }
    [[nodiscard]] int sectorBase() const;
    [[nodiscard]] int sectorCount() const;
    /// One past the last flash address.
    [[nodiscard]] std::uint32_t flashEnd() const;
    /// The flash from kFlashBase on, every sector of the model.
    [[nodiscard]] std::span<const std::uint8_t> flash() const { return flash_; }
    /// The byte at an absolute address; 0xFF outside the flash, like an open bus.
    [[nodiscard]] std::uint8_t readFlash(std::uint32_t address) const;

    [[nodiscard]] bool unlocked() const { return unlocked_; }
    /// True once an exit frame restarted the controller into its application.
    [[nodiscard]] bool restarted() const { return restarted_; }
    [[nodiscard]] const Counters& counters() const { return counters_; }

    /// Writes the flash as a binary file.
    [[nodiscard]] platform::Result<void> dump(const std::filesystem::path& path) const;

  private:
    enum class Parse { Idle, Letter, Count, Body };

    [[nodiscard]] bool bootloaderAnswers() const;
    Response handleFrame();
    Response blankCheck(std::uint8_t sector);
    Response erase(std::uint8_t sector);
    Response program();
    std::optional<Response> finish(Response response);
    [[nodiscard]] std::optional<std::size_t> sectorOffset(std::uint8_t sector) const;

    Options options_;
    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> frame_;
    std::size_t frameLength_ = 0;
    Parse parse_ = Parse::Idle;
    double lastByteMs_ = 0;
    bool unlocked_ = false;
    bool restarted_ = false;
    Counters counters_;
    std::mt19937 random_;
};

}  // namespace korvath::sim
