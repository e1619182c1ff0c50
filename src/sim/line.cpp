#include "sim/line.h"

#include <algorithm>

namespace korvath::sim {

namespace {

// Clock arithmetic in doubles may land a hair short of a due time after sleeping to it.
constexpr double kDueSlackMs = 1e-9;

}  // namespace

void Line::send(std::span<const std::uint8_t> bytes, double nowMs) {
    const bool pacing = controller_.options().pacing;
    for (std::uint8_t byte : bytes) {
        const double arrival = pacing ? std::max(nowMs, inLineFreeMs_) + kByteTimeMs : nowMs;
        inLineFreeMs_ = arrival;
        if (deliverOnSend_)
            deliver({arrival, byte});
        else
            incoming_.push_back({arrival, byte});
    }
}

void Line::deliver(Timed arrived) {
    if (unplugArmed_) {
        // The cable is pulled as the next request starts: it never reaches the device.
        unplugAtMs_ = std::min(unplugAtMs_, arrived.atMs);
        incoming_.clear();
        return;
    }
    if (auto response = controller_.receive(arrived.byte, arrived.atMs))
        schedule(*response, arrived.atMs);
}

void Line::schedule(const Response& response, double requestEndMs) {
    if (log_) log_(response, requestEndMs);
    // The device works on one request at a time.
    const double ready = std::max(requestEndMs, deviceFreeMs_) + response.processingMs;
    deviceFreeMs_ = ready;
    const bool pacing = controller_.options().pacing;
    double last = ready;
    const std::size_t first = outgoing_.size();
    for (std::uint8_t byte : response.bytes) {
        last = std::max(ready, outLineFreeMs_) + (pacing ? kByteTimeMs : 0.0);
        outLineFreeMs_ = last;
        outgoing_.push_back({last, byte});
    }
    if (response.together) {
        for (std::size_t i = first; i < outgoing_.size(); ++i) outgoing_[i].atMs = last;
    }
    if (response.babble) nextBabbleMs_ = std::min(nextBabbleMs_, last + kBabbleIntervalMs);
    if (response.unplug) unplugArmed_ = true;
}

void Line::advance(double nowMs, const std::function<void(std::uint8_t)>& out) {
    const double limit = nowMs + kDueSlackMs;
    for (;;) {
        const double in = incoming_.empty() ? kNever : incoming_.front().atMs;
        const double reply = outgoing_.empty() ? kNever : outgoing_.front().atMs;
        const double first = std::min({in, reply, nextBabbleMs_});
        if (first > limit) return;
        if (first == in) {
            const Timed arrived = incoming_.front();
            incoming_.pop_front();
            deliver(arrived);
        } else if (first == reply) {
            const std::uint8_t byte = outgoing_.front().byte;
            outgoing_.pop_front();
            out(byte);
        } else {
            nextBabbleMs_ += kBabbleIntervalMs;
            for (std::size_t i = 0; i < kBabbleBurst; ++i) out(kBabbleByte);
        }
    }
}

std::optional<double> Line::nextEventMs() const {
    double next = std::min(nextBabbleMs_, unplugAtMs_);
    if (!incoming_.empty()) next = std::min(next, incoming_.front().atMs);
    if (!outgoing_.empty()) next = std::min(next, outgoing_.front().atMs);
    if (next == kNever) return std::nullopt;
    return next;
}

bool Line::deadAt(double nowMs) const {
    return nowMs + kDueSlackMs >= unplugAtMs_;
}

void Line::clear() {
    incoming_.clear();
    outgoing_.clear();
    inLineFreeMs_ = -kNever;
    outLineFreeMs_ = -kNever;
    nextBabbleMs_ = kNever;
}

}  // namespace korvath::sim
