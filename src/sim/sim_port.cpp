#include "sim/sim_port.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "link/link_error.h"

namespace korvath::sim {

namespace {

platform::Fault deviceError(const char* what) {
    return {link::ErrorNumber::DeviceIo,
            std::string(link::toString(link::ErrorNumber::DeviceIo)) + ": " + what};
}

}  // namespace

SimPort::SimPort(const Options& options, link::Clock& clock)
    : SimPort(std::vector<UnitSlot>{UnitSlot{.options = options}}, clock) {}

SimPort::SimPort(std::vector<UnitSlot> units, link::Clock& clock)
    : slots_(std::move(units)), clock_(clock) {
    if (slots_.empty()) throw std::invalid_argument("a simulated port needs a unit");
    for (const UnitSlot& slot : slots_)
        units_.push_back(std::make_unique<Controller>(slot.options));
    arrivesAtMs_ = clock_.nowMs() + slots_.front().arrivesAfterMs;
    // Plugs in a unit due at once; a line that fails here fails the first call instead.
    static_cast<void>(catchUp(clock_.nowMs()));
}

void SimPort::plugIn() {
    line_ = std::make_unique<Line>(*units_[arrived_]);
    line_->setResponseLog([this](const Response& response, double requestEndMs) {
        onResponse(response, requestEndMs);
    });
    ++arrived_;
    arrivesAtMs_ = kNever;
    leavesAtMs_ = kNever;
}

void SimPort::onResponse(const Response& response, double requestEndMs) {
    const Controller& unit = *units_[arrived_ - 1];
    if (!unit.restarted() || leavesAtMs_ != kNever) return;
    // The unit restarted once its last reply is out; it is taken off its stay later.
    const double replyMs =
        unit.options().pacing ? kByteTimeMs * static_cast<double>(response.bytes.size()) : 0.0;
    leavesAtMs_ = requestEndMs + response.processingMs + replyMs + slots_[arrived_ - 1].staysMs;
}

platform::Result<void> SimPort::catchUp(double nowMs) {
    if (!open_) return deviceError("port is not open");
    const auto keep = [this](std::uint8_t byte) {
        if (received_.size() < kReceiveCapacity) received_.push_back(byte);
    };
    for (;;) {
        if (!line_) {
            if (nowMs < arrivesAtMs_) return {};
            plugIn();
        }
        // Up to the unit's leaving at most: what it would do after that never happens.
        const double until = std::min(nowMs, leavesAtMs_);
        line_->advance(until, keep);
        if (line_->deadAt(until)) {
            close();
            return deviceError("the device is gone");
        }
        if (nowMs < leavesAtMs_) return {};
        const double leftAt = leavesAtMs_;
        line_.reset();
        leavesAtMs_ = kNever;
        if (arrived_ < slots_.size()) arrivesAtMs_ = leftAt + slots_[arrived_].arrivesAfterMs;
    }
}

platform::Result<void> SimPort::discardInput() {
    platform::Result<void> caughtUp = catchUp(clock_.nowMs());
    if (caughtUp) received_.clear();
    return caughtUp;
}

platform::Result<void> SimPort::write(std::span<const std::uint8_t> bytes) {
    const double now = clock_.nowMs();
    if (platform::Result<void> caughtUp = catchUp(now); !caughtUp) return caughtUp;
    // With no unit on the line the bytes go nowhere.
    if (line_) line_->send(bytes, now);
    return {};
}

platform::Result<int> SimPort::bytesWaiting() {
    if (platform::Result<void> caughtUp = catchUp(clock_.nowMs()); !caughtUp)
        return caughtUp.fault();
    return static_cast<int>(received_.size());
}

platform::Result<int> SimPort::waitForBytes(int known, double timeoutMs) {
    double now = clock_.nowMs();
    const double deadline = now + (timeoutMs > 0 ? timeoutMs : 0.0);
    for (;;) {
        if (platform::Result<void> caughtUp = catchUp(now); !caughtUp) return caughtUp.fault();
        const int count = static_cast<int>(received_.size());
        if (count > known || now >= deadline) return count;
        const auto next = line_ ? line_->nextEventMs() : std::nullopt;
        const double wakeAt = next && *next < deadline ? *next : deadline;
        // A due time a hair behind `now` was handled by catchUp; sleep at least to the deadline.
        clock_.sleepMs(wakeAt > now ? wakeAt - now : deadline - now);
        now = clock_.nowMs();
    }
}

platform::Result<void> SimPort::readAll(std::vector<std::uint8_t>& out) {
    out.clear();
    if (platform::Result<void> caughtUp = catchUp(clock_.nowMs()); !caughtUp) return caughtUp;
    out.swap(received_);
    return {};
}

void SimPort::close() {
    open_ = false;
    if (line_) line_->clear();
    received_.clear();
}

}  // namespace korvath::sim
