#include "link/link.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace korvath::link {

namespace {

// With a millisecond tick the original rule "quiet for more than 2 ms" meant 3 ticks; with a
// fine clock we wake a little after the 2 ms so that the test "more than" holds on waking.
constexpr double kQuietSlackMs = 0.1;

}  // namespace

Link::Link(Port& port, Clock& clock, ErrorSink* errors)
    : port_(&port), clock_(&clock), errors_(errors) {}

void Link::writeSend(int index, std::uint8_t value) {
    if (index < 0 || index >= static_cast<int>(SendBuffer.size())) {
        throw LinkError(ErrorNumber::IndexOutOfRange);
    }
    SendBuffer[static_cast<std::size_t>(index)] = value;
}

void Link::ComputeFrameChecksum(int n) {
    if (n < 1) throw LinkError(ErrorNumber::Overflow);
    int sum = 0;
    for (int i = 0; i < n; ++i) {
        if (i >= static_cast<int>(SendBuffer.size())) {
            throw LinkError(ErrorNumber::IndexOutOfRange);
        }
        sum += SendBuffer[static_cast<std::size_t>(i)];
    }
    FrameChecksum.low = static_cast<std::uint8_t>(sum % 256);
    FrameChecksum.high = static_cast<std::uint8_t>((sum / 256) | protocol::kChecksumHighBit);
}

void Link::report(ErrorNumber number, const std::string& description) {
    if (errors_ != nullptr) errors_->reportError(static_cast<int>(number), description);
}

void Link::reportPortFailure() {
    const PortError error = port_->lastError();
    // Closing makes every later exchange fail at once and silently: one report per failure,
    // not one per retry of the download.
    port_->close();
    if (errors_ != nullptr) {
        errors_->reportError(error.number != 0 ? error.number
                                               : static_cast<int>(ErrorNumber::DeviceIo),
                             error.description.empty() ? std::string(toString(ErrorNumber::DeviceIo))
                                                       : error.description);
    }
}

std::int16_t Link::ExchangeFrame(std::int16_t& count, bool wait) {
    if (count < 1 || count > static_cast<int>(SendBuffer.size())) {
        report(ErrorNumber::IndexOutOfRange,
               std::string(toString(ErrorNumber::IndexOutOfRange)) + ": frame of " +
                   std::to_string(count) + " bytes");
        return 1;
    }
    // A closed port sends and reads nothing; the result says "no reply" so that a stale ACK
    // left in ReplyBuffer can never pass for an answer.
    if (!port_->isOpen()) {
        count = 0;
        return 1;
    }

    port_->discardInput();
    const std::span<const std::uint8_t> frame(SendBuffer.data(), static_cast<std::size_t>(count));
    if (!port_->write(frame)) {
        reportPortFailure();
        return 1;
    }

    portFailed_ = false;
    const std::int16_t result = WaitForReply(wait, ReplyTimeoutMs);
    if (portFailed_) {
        reportPortFailure();
        return 1;
    }

    std::vector<std::uint8_t> reply;
    if (!port_->readAll(reply)) {
        reportPortFailure();
        return 1;
    }
    const std::size_t kept = std::min(reply.size(), ReplyBuffer.size());
    std::copy_n(reply.begin(), kept, ReplyBuffer.begin());
    if (reply.size() > ReplyBuffer.size()) {
        report(ErrorNumber::IndexOutOfRange,
               std::string(toString(ErrorNumber::IndexOutOfRange)) + ": reply of " +
                   std::to_string(reply.size()) + " bytes, more than " +
                   std::to_string(ReplyBuffer.size()));
        return 1;
    }
    count = static_cast<std::int16_t>(reply.size());
    return result;
}

std::int16_t Link::WaitForReply(bool wait, std::int32_t timeoutMs) {
    if (!wait) return 0;
    ReplyTimedOut = false;

    int previous = 0;
    double quietSince = clock_->nowMs();
    double firstByteAt = 0;
    bool anyBytes = false;

    for (;;) {
        const int count = port_->bytesWaiting();
        if (count < 0) {
            portFailed_ = true;
            break;
        }
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
            if (quiet > protocol::kReplyQuietMs) break;
            // A line that never falls quiet would keep us here for ever: give a reply at most
            // the time-out once its first byte has come, then call it failed.
            if (now - firstByteAt >= timeoutMs) {
                ReplyTimedOut = true;
                break;
            }
            until = std::min(quietSince + protocol::kReplyQuietMs + kQuietSlackMs,
                             firstByteAt + timeoutMs);
        } else {
            // The time-out runs from the end of the first quiet period, as it always has.
            const double deadline = quietSince + protocol::kReplyQuietMs + timeoutMs;
            if (now >= deadline) {
                ReplyTimedOut = true;
                break;
            }
            until = deadline;
        }
        if (port_->waitForBytes(count, until - now) < 0) {
            portFailed_ = true;
            break;
        }
    }
    return ReplyTimedOut ? 1 : 0;
}

bool Link::acked() const {
    return ReplyBuffer[0] == protocol::kAck && LastExchangeResult != 1;
}

bool Link::ProbeDevice() {
    writeSend(0, protocol::kProbe);
    std::int16_t count = 1;
    LastExchangeResult = ExchangeFrame(count, true);
    return acked();
}

bool Link::SendPassword() {
    DeviceModel = 0;
    bool accepted = false;
    bool result = false;
    for (std::size_t i = 0; i < protocol::kPasswords.size(); ++i) {
        ReplyTimeoutMs = protocol::kLongReplyTimeoutMs;
        if (accepted) continue;

        const std::string_view password = protocol::kPasswords[i];
        const int length = static_cast<int>(password.size());
        writeSend(0, protocol::kEscape);
        writeSend(1, protocol::kCmdPassword);
        writeSend(2, static_cast<std::uint8_t>(length));
        for (int j = 0; j < length; ++j) {
            writeSend(3 + j, static_cast<std::uint8_t>(password[static_cast<std::size_t>(j)]));
        }
        writeSend(3 + length, protocol::kTerminator);
        ComputeFrameChecksum(length + 4);
        writeSend(length + 4, FrameChecksum.low);
        writeSend(length + 5, FrameChecksum.high);

        std::int16_t count = static_cast<std::int16_t>(length + 6);
        LastExchangeResult = ExchangeFrame(count, true);
        if (acked()) {
            result = true;
            accepted = true;
            DeviceModel = static_cast<std::int16_t>(i + 1);
        } else {
            result = false;
        }
    }
    return result;
}

namespace {

std::uint8_t sectorByte(long long sector) {
    if (sector < 0 || sector > 255) throw LinkError(ErrorNumber::Overflow);
    return static_cast<std::uint8_t>(sector);
}

}  // namespace

bool Link::BlankCheckSector(int sector) {
    ReplyTimeoutMs = protocol::kLongReplyTimeoutMs;
    ReplyBuffer[0] = 0;
    ReplyBuffer[1] = 0;
    writeSend(0, protocol::kEscape);
    writeSend(1, protocol::kCmdBlankCheck);
    writeSend(2, 1);
    writeSend(3, sectorByte(sector));
    writeSend(4, protocol::kTerminator);
    ComputeFrameChecksum(5);
    writeSend(5, FrameChecksum.low);
    writeSend(6, FrameChecksum.high);

    std::int16_t count = 7;
    LastExchangeResult = ExchangeFrame(count, true);
    const bool ok = acked() && ReplyBuffer[0] != protocol::kNak;
    ReplyTimeoutMs = protocol::kDefaultReplyTimeoutMs;
    return ok;
}

bool Link::EraseSector(int sector) {
    ReplyTimeoutMs = protocol::kLongReplyTimeoutMs;
    if (const int base = protocol::sectorBaseFor(DeviceModel); base >= 0) {
        SectorBase = static_cast<std::int16_t>(base);
    }
    ReplyBuffer[0] = 0;
    ReplyBuffer[1] = 0;
    const long long absolute = static_cast<long long>(sector) + SectorBase;
    if (absolute < std::numeric_limits<std::int16_t>::min() ||
        absolute > std::numeric_limits<std::int16_t>::max()) {
        throw LinkError(ErrorNumber::Overflow);
    }
    writeSend(0, protocol::kEscape);
    writeSend(1, protocol::kCmdErase);
    writeSend(2, 1);
    writeSend(3, sectorByte(absolute));
    writeSend(4, protocol::kTerminator);
    ComputeFrameChecksum(5);
    writeSend(5, FrameChecksum.low);
    writeSend(6, FrameChecksum.high);

    std::int16_t count = 7;
    LastExchangeResult = ExchangeFrame(count, true);
    const bool ok = acked() && ReplyBuffer[0] != protocol::kNak;
    ReplyTimeoutMs = protocol::kDefaultReplyTimeoutMs;
    return ok;
}

bool Link::ExitProgramming() {
    for (std::size_t i = 0; i < protocol::kExitFrame.size(); ++i) {
        writeSend(static_cast<int>(i), protocol::kExitFrame[i]);
    }
    std::int16_t count = static_cast<std::int16_t>(protocol::kExitFrame.size());
    LastExchangeResult = ExchangeFrame(count, true);
    return acked();
}

}  // namespace korvath::link
