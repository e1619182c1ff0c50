#include "link/link.h"

#include <algorithm>

namespace korvath::link {

namespace {

// A reply is complete after more than kReplyQuietMs of quiet; waking a little after it makes
// the test "more than" hold on waking. Every microsecond here is paid once per record, and a
// wake-up that comes early only waits again for the rest.
constexpr double kQuietSlackMs = 0.001;

std::uint8_t sectorByte(int sector) {
    if (sector < 0 || sector > 255) throw LinkError(ErrorNumber::Overflow);
    return static_cast<std::uint8_t>(sector);
}

Fault rangeFault(const std::string& what) {
    return {ErrorNumber::IndexOutOfRange,
            std::string(toString(ErrorNumber::IndexOutOfRange)) + ": " + what};
}

}  // namespace

Link::Link(Port& port, Clock& clock, ErrorSink* errors)
    : port_(&port), clock_(&clock), errors_(errors) {}

ExchangeResult Link::fail(Fault fault) {
    if (errors_ != nullptr) errors_->reportError(fault);
    ExchangeResult result;
    result.status = ExchangeResult::Status::Failed;
    result.fault = std::move(fault);
    return result;
}

ExchangeResult Link::portFailure(Fault fault) {
    // Closing makes every later exchange end at once and silently: one report per failure,
    // not one per retry of the download.
    port_->close();
    if (fault.text.empty()) fault.text = toString(fault.number);
    return fail(std::move(fault));
}

ExchangeResult Link::exchangeFrame(std::span<const std::uint8_t> frame, int timeoutMs) {
    return exchange(frame, timeoutMs);
}

const ExchangeResult& Link::exchange(std::span<const std::uint8_t> frame, int timeoutMs) {
    if (frame.empty() || frame.size() > protocol::kMaxFrameLength) {
        return last_ = fail(rangeFault("frame of " + std::to_string(frame.size()) + " bytes"));
    }
    if (!port_->isOpen()) return last_ = {};

    const platform::Result<void> discarded = port_->discardInput();
    const double sentMs = trace_ != nullptr ? clock_->nowMs() : 0;
    const platform::Result<void> written = discarded ? port_->write(frame) : discarded;
    if (written)
        collectReply(timeoutMs);
    else
        last_ = portFailure(written.fault());
    if (trace_ != nullptr) trace_->exchanged({frame, last_, sentMs, clock_->nowMs(), timeoutMs});
    return last_;
}

void Link::collectReply(int timeoutMs) {
    const platform::Result<WaitEnd> end = waitForReply(timeoutMs);
    if (!end) {
        last_ = portFailure(end.fault());
        return;
    }
    // The reply goes into the buffer of the last one, which the port takes back in exchange:
    // an exchange a record allocates nothing.
    std::vector<std::uint8_t>& reply = last_.reply;
    if (platform::Result<void> read = port_->readAll(reply); !read) {
        last_ = portFailure(read.fault());
        return;
    }
    if (reply.size() > protocol::kMaxReplyLength) {
        const std::size_t received = reply.size();
        // Said as a technician knows it; the figures in brackets differ from reply to reply.
        ExchangeResult failed = fail(rangeFault(
            "the line is noisy: something else is sending (a reply of " + std::to_string(received) +
            " bytes, more than " + std::to_string(protocol::kMaxReplyLength) + ")"));
        reply.resize(protocol::kMaxReplyLength);
        failed.reply = std::move(reply);
        last_ = std::move(failed);
        return;
    }
    last_.fault.reset();
    last_.status = *end == WaitEnd::Complete ? ExchangeResult::Status::Replied
                                             : ExchangeResult::Status::TimedOut;
}

platform::Result<Link::WaitEnd> Link::waitForReply(double timeoutMs) {
    int previous = 0;
    double quietSince = clock_->nowMs();
    double firstByteAt = 0;
    bool anyBytes = false;

    for (;;) {
        const platform::Result<int> waiting = port_->bytesWaiting();
        if (!waiting) return waiting.fault();
        const int count = *waiting;
        const double now = clock_->nowMs();
        if (count != previous) {
            previous = count;
            quietSince = now;
            if (count > 0 && !anyBytes) {
                anyBytes = true;
                firstByteAt = now;
            }
        }
        const double quiet = now - quietSince;

        double until = 0;
        if (count > 0) {
            if (quiet > protocol::kReplyQuietMs) return WaitEnd::Complete;
            // A line that never falls quiet would keep us here for ever: give a reply at most
            // the time-out once its first byte has come, then call it failed.
            if (now - firstByteAt >= timeoutMs) return WaitEnd::TimedOut;
            until = std::min(quietSince + protocol::kReplyQuietMs + kQuietSlackMs,
                             firstByteAt + timeoutMs);
        } else {
            // The time-out runs from the end of the first quiet period, so a silent device is
            // given the time-out plus the quiet gap.
            const double deadline = quietSince + protocol::kReplyQuietMs + timeoutMs;
            if (now >= deadline) return WaitEnd::TimedOut;
            until = deadline;
        }
        if (platform::Result<int> waited = port_->waitForBytes(count, until - now); !waited)
            return waited.fault();
    }
}

Heard heardOf(const ExchangeResult& result) {
    switch (result.status) {
        case ExchangeResult::Status::Replied:
            if (result.reply.empty()) return Heard::Nothing;
            if (result.reply.front() == protocol::kAck) return Heard::Ack;
            return result.reply.front() == protocol::kNak ? Heard::Nak : Heard::Other;
        case ExchangeResult::Status::TimedOut:
            // Bytes that kept coming until the time-out: the line never fell quiet.
            return result.reply.empty() ? Heard::Nothing : Heard::Noise;
        case ExchangeResult::Status::NotSent:
            return Heard::PortLost;
        case ExchangeResult::Status::Failed:
            break;
    }
    // Too long a reply is the line's fault; any other failure is the port's.
    const bool tooLong = result.fault && result.fault->number == ErrorNumber::IndexOutOfRange &&
                         !result.reply.empty();
    return tooLong ? Heard::Noise : Heard::PortLost;
}

Answer answerOf(const ExchangeResult& result) {
    if (result.status != ExchangeResult::Status::Replied || result.reply.empty())
        return Answer::NoAnswer;
    return result.reply.front() == protocol::kAck ? Answer::Accepted : Answer::Refused;
}

bool Link::probe(int timeoutMs) {
    const std::array<std::uint8_t, 1> frame = {protocol::kProbe};
    return exchange(frame, timeoutMs).acked();
}

std::optional<Model> Link::unlock() {
    for (const protocol::ModelFacts& facts : protocol::kModels) {
        if (exchange(passwordFrame(facts.password), protocol::kLongReplyTimeoutMs).acked())
            return facts.model;
    }
    return std::nullopt;
}

Answer Link::sectorCommand(SectorCommand command, int sector) {
    const SectorFrame frame = sectorFrame(command, sectorByte(sector));
    return answerOf(exchange(frame, protocol::kLongReplyTimeoutMs));
}

SectorState Link::blankCheck(int sector) {
    switch (sectorCommand(SectorCommand::BlankCheck, sector)) {
        case Answer::Accepted:
            return SectorState::Blank;
        case Answer::Refused:
            return SectorState::NotBlank;
        case Answer::NoAnswer:
            break;
    }
    return SectorState::Unknown;
}

Answer Link::erase(int sector) {
    return sectorCommand(SectorCommand::Erase, sector);
}

Answer Link::program(const DataRecord& record, int timeoutMs) {
    return answerOf(exchange(programFrame(record), timeoutMs));
}

bool Link::exitProgramming(int timeoutMs) {
    return exchange(protocol::kExitFrame, timeoutMs).acked();
}

}  // namespace korvath::link
