// One serial link to one controller's bootloader: the frame buffers, the request/reply exchange
// and the bootloader commands. It knows nothing of files or windows; errors go to an ErrorSink.
#pragma once

#include <array>
#include <cstdint>

#include "link/clock.h"
#include "link/link_error.h"
#include "link/port.h"
#include "link/protocol.h"

namespace korvath::link {

/// The two checksum bytes of a frame: low first on the wire, high always has bit 7 set.
struct FrameChecksumPair {
    std::uint8_t low = 0;
    std::uint8_t high = 0;
};

/// Link state and operations. One object per serial link, living as long as the program; it is
/// not thread-safe, so one thread at a time drives it (the download's thread).
class Link {
public:
    /// `port` and `clock` must outlive the link; `errors` may be null (reports are dropped).
    Link(Port& port, Clock& clock, ErrorSink* errors = nullptr);

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    /// Points the link at another port (the window swaps ports when the user picks another).
    void setPort(Port& port) { port_ = &port; }
    void setErrorSink(ErrorSink* errors) { errors_ = errors; }
    [[nodiscard]] Port& port() { return *port_; }
    [[nodiscard]] Clock& clock() { return *clock_; }

    // ---- state, named as the protocol documents name it ----
    std::array<std::uint8_t, protocol::kSendBufferSize> SendBuffer{};
    std::array<std::uint8_t, protocol::kReplyBufferSize> ReplyBuffer{};
    FrameChecksumPair FrameChecksum{};
    std::int32_t ReplyTimeoutMs = protocol::kDefaultReplyTimeoutMs;
    bool ReplyTimedOut = false;
    std::int16_t LastExchangeResult = 0;
    std::int16_t DeviceModel = 0;
    std::int16_t SectorBase = 0;

    /// Sums the first `n` SendBuffer bytes into FrameChecksum. Throws LinkError Overflow for
    /// n < 1 and IndexOutOfRange for n > 101; FrameChecksum then keeps its old value.
    void ComputeFrameChecksum(int n);

    /// Sends the first `count` SendBuffer bytes, waits for the reply and copies it into
    /// ReplyBuffer. Returns 1 when no trustworthy reply came (time-out, never-quiet reply, port
    /// closed, port failure, reply over 51 bytes, bad count), else 0. On a normal end `count`
    /// becomes the number of bytes received. Failures are reported once to the ErrorSink; a
    /// failed port is closed, so later exchanges fail at once and silently.
    std::int16_t ExchangeFrame(std::int16_t& count, bool wait);

    /// Waits for a reply: complete once bytes arrived and the count then stood still for more
    /// than 2 ms; 1 (time-out) when nothing arrived within `timeoutMs` after the first quiet
    /// period, or when bytes kept coming for `timeoutMs` without a quiet gap.
    std::int16_t WaitForReply(bool wait, std::int32_t timeoutMs);

    /// One probe byte; true on ACK.
    bool ProbeDevice();
    /// Offers the three passwords in order until one is accepted; sets DeviceModel.
    bool SendPassword();
    /// Absolute sector number 0..255 (LinkError Overflow otherwise); true when blank.
    bool BlankCheckSector(int sector);
    /// Sector index relative to SectorBase; the sum must be 0..255. True when erased.
    bool EraseSector(int sector);
    /// The fixed exit-programming frame; true on ACK.
    bool ExitProgramming();

private:
    void writeSend(int index, std::uint8_t value);
    void reportPortFailure();
    void report(ErrorNumber number, const std::string& description);
    [[nodiscard]] bool acked() const;

    Port* port_;
    Clock* clock_;
    ErrorSink* errors_;
    bool portFailed_ = false;   // the port failed during the last reply wait
};

}  // namespace korvath::link
