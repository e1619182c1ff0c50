// One serial link to one controller's bootloader: the request/reply exchange and the bootloader
// commands. Frames are built in frames.h; it knows nothing of files or windows, and reports the
// port's and the reply's faults to an ErrorSink.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/frames.h"
#include "link/link_error.h"
#include "link/port.h"
#include "link/protocol.h"

namespace korvath::link {

/// A fault of one exchange, as reported to the ErrorSink.
struct LinkFault {
    int number = 0;
    std::string description;
};

/// What one exchange brought back.
struct ExchangeResult {
    enum class Status {
        Replied,   ///< bytes arrived and the line then fell quiet
        TimedOut,  ///< nothing arrived within the reply time-out
        NotSent,   ///< the port is closed: nothing was sent or read
        Failed,    ///< the port failed, or the frame or the reply broke a size limit
    };
    Status status = Status::NotSent;
    /// The bytes received, at most kMaxReplyLength of them; trustworthy only when Replied.
    std::vector<std::uint8_t> reply;
    /// Set when Failed: the fault that went to the ErrorSink.
    std::optional<LinkFault> fault;

    /// True when the reply came in time and its first byte is ACK.
    [[nodiscard]] bool acked() const {
        return status == Status::Replied && !reply.empty() && reply.front() == protocol::kAck;
    }
};

/// How the bootloader answered a command.
enum class Answer {
    Accepted,  ///< ACK in time
    Refused,   ///< another first byte in time, NAK included
    NoAnswer,  ///< no trustworthy reply: time-out, port closed or failed
};

/// What a blank check found out about a sector.
enum class SectorState {
    Blank,
    NotBlank,
    Unknown,  ///< no trustworthy reply
};

/// Link state and operations. One object per serial link; not thread-safe, so one thread at a
/// time drives it. Separate links share nothing.
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

    /// Sends `frame` and collects the reply within replyTimeoutMs(). A reply is complete once
    /// bytes arrived and the line then stayed quiet for more than 2 ms; a reply that never
    /// falls quiet is cut off after the time-out. Failures are reported once to the ErrorSink
    /// and a failed port is closed, so later exchanges end at once as NotSent, silently. A frame
    /// of no bytes or more than kMaxFrameLength is refused with error 9 and nothing is sent.
    [[nodiscard]] ExchangeResult ExchangeFrame(std::span<const std::uint8_t> frame);

    /// The time-out the next exchange waits: kLongReplyTimeoutMs from an unlock until the end
    /// of the next blank check or erase, kDefaultReplyTimeoutMs otherwise. So the exit frame
    /// after a refused image, and the probes of the next download, wait the long time-out too;
    /// a device sees this in the timing of its retries, so it is kept exactly.
    [[nodiscard]] int replyTimeoutMs() const { return replyTimeoutMs_; }

    /// One probe byte; true on ACK.
    [[nodiscard]] bool probe();
    /// Offers the passwords in order until one is accepted: the model that answered, or
    /// nothing when all three were refused or not answered.
    [[nodiscard]] std::optional<Model> unlock();
    /// Absolute sector number 0..255 (LinkError Overflow otherwise, nothing sent).
    [[nodiscard]] SectorState blankCheck(int sector);
    /// Absolute sector number 0..255 (LinkError Overflow otherwise, nothing sent).
    [[nodiscard]] Answer erase(int sector);
    /// Writes one record: Accepted when the device stored it.
    [[nodiscard]] Answer program(const DataRecord& record);
    /// The fixed exit-programming frame; true on ACK.
    bool exitProgramming();

  private:
    enum class WaitEnd { Complete, TimedOut, PortFailed };
    WaitEnd waitForReply(double timeoutMs);
    Answer sectorCommand(SectorCommand command, int sector);
    ExchangeResult fail(LinkFault fault);
    ExchangeResult portFailure();

    Port* port_;
    Clock* clock_;
    ErrorSink* errors_;
    int replyTimeoutMs_ = protocol::kDefaultReplyTimeoutMs;
};

/// The answer a command got from `result`.
[[nodiscard]] Answer answerOf(const ExchangeResult& result);

}  // namespace korvath::link
