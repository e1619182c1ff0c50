// One serial link to one controller's bootloader: the request/reply exchange and the bootloader
// commands. Frames are built in frames.h; it knows nothing of files or windows, reports the
// port's and the reply's faults to an ErrorSink and, when asked, each exchange to a WireTrace.
// Each exchange is given its reply time-out; the only state kept is what the last one brought
// back, so that a failed command can say what the line did.
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
    std::optional<Fault> fault;

    /// True when the reply came in time and its first byte is ACK.
    [[nodiscard]] bool acked() const {
        return status == Status::Replied && !reply.empty() && reply.front() == protocol::kAck;
    }
};

/// What an exchange heard on the line, for telling why a command failed.
enum class Heard {
    Ack,       ///< ACK in time
    Nak,       ///< NAK in time: the controller refused
    Other,     ///< another first byte in time: a garbled reply
    Nothing,   ///< no byte within the reply time-out
    Noise,     ///< a reply longer than any may be, or one that never fell quiet
    PortLost,  ///< the port failed or was closed by an earlier failure
};

/// What `result` heard on the line.
[[nodiscard]] Heard heardOf(const ExchangeResult& result);

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

/// One exchange as it went over the line, for a trace of the wire.
struct WireExchange {
    std::span<const std::uint8_t> frame;
    const ExchangeResult& result;
    double sentMs = 0;   ///< the link clock's time when the frame was handed to the port
    double endedMs = 0;  ///< its time when the reply was taken or the wait gave up
    int timeoutMs = 0;   ///< the reply time-out the exchange was given
};

/// Receives every frame that was handed to the port, with what came back. Frames refused
/// before sending (too long, port closed) are not traced.
class WireTrace {
  public:
    virtual ~WireTrace() = default;
    virtual void exchanged(const WireExchange& exchange) = 0;
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
    /// Every later exchange is also told to `trace`; null stops tracing.
    void setTrace(WireTrace* trace) { trace_ = trace; }
    [[nodiscard]] Port& port() { return *port_; }
    [[nodiscard]] Clock& clock() { return *clock_; }
    /// What the last exchange brought back (NotSent before the first one).
    [[nodiscard]] const ExchangeResult& lastExchange() const { return last_; }

    /// Sends `frame` and collects the reply within `timeoutMs`. A reply is complete once bytes
    /// arrived and the line then stayed quiet for more than 2 ms; a reply that never falls quiet
    /// is cut off after the time-out. Failures are reported once to the ErrorSink and a failed
    /// port is closed, so later exchanges end at once as NotSent, silently. A frame of no bytes
    /// or more than kMaxFrameLength is refused with error 9 and nothing is sent.
    [[nodiscard]] ExchangeResult exchangeFrame(std::span<const std::uint8_t> frame,
                                               int timeoutMs = protocol::kDefaultReplyTimeoutMs);

    // Probes, records and the exit frame wait the time-out they are given (kDefaultReplyTimeoutMs
    // unless told); the password and sector commands wait kLongReplyTimeoutMs, which the
    // bootloader needs for them.

    /// One probe byte; true on ACK.
    [[nodiscard]] bool probe(int timeoutMs = protocol::kDefaultReplyTimeoutMs);
    /// Offers the passwords in order until one is accepted: the model that answered, or
    /// nothing when all three were refused or not answered.
    [[nodiscard]] std::optional<Model> unlock();
    /// Absolute sector number 0..255 (LinkError Overflow otherwise, nothing sent).
    [[nodiscard]] SectorState blankCheck(int sector);
    /// Absolute sector number 0..255 (LinkError Overflow otherwise, nothing sent).
    [[nodiscard]] Answer erase(int sector);
    /// Writes one record: Accepted when the device stored it.
    [[nodiscard]] Answer program(const DataRecord& record,
                                 int timeoutMs = protocol::kDefaultReplyTimeoutMs);
    /// The fixed exit-programming frame; true on ACK.
    bool exitProgramming(int timeoutMs = protocol::kDefaultReplyTimeoutMs);

  private:
    enum class WaitEnd { Complete, TimedOut };
    platform::Result<WaitEnd> waitForReply(double timeoutMs);
    Answer sectorCommand(SectorCommand command, int sector);
    ExchangeResult fail(Fault fault);
    ExchangeResult portFailure(Fault fault);
    /// exchangeFrame without the copy: the result is last_, good until the next exchange.
    const ExchangeResult& exchange(std::span<const std::uint8_t> frame, int timeoutMs);
    /// Waits for the reply and leaves what came in last_.
    void collectReply(int timeoutMs);

    Port* port_;
    Clock* clock_;
    ErrorSink* errors_;
    WireTrace* trace_ = nullptr;
    ExchangeResult last_;
};

/// The answer a command got from `result`.
[[nodiscard]] Answer answerOf(const ExchangeResult& result);

}  // namespace korvath::link
