#include "support/fake_port.h"

#include <algorithm>

namespace korvath::test {

std::vector<Chunk> reply(std::uint8_t byte, double afterMs) {
    return {Chunk{afterMs, {byte}}};
}

FakePort::FakePort(VirtualClock& clock, Device device)
    : clock_(clock), device_(std::move(device)) {}

void FakePort::schedule(double at, const Bytes& bytes) {
    for (std::uint8_t b : bytes) {
        // Keep the queue ordered by time; equal times keep their order.
        auto pos = std::upper_bound(pending_.begin(), pending_.end(), at,
                                    [](double t, const Pending& p) { return t < p.at; });
        pending_.insert(pos, Pending{at, b});
    }
}

void FakePort::inject(const Bytes& bytes, double afterMs) {
    schedule(clock_.now() + afterMs, bytes);
}

void FakePort::deliverDue() {
    while (!pending_.empty() && pending_.front().at <= clock_.now()) {
        received_.push_back(pending_.front().byte);
        pending_.pop_front();
    }
}

std::optional<platform::Fault> FakePort::gone() {
    if (open_ && clock_.now() >= unplugAt_) {
        open_ = false;
        unplugged_ = true;
    }
    if (open_) return std::nullopt;
    if (!unplugged_) return platform::Fault{};
    return platform::Fault{platform::ErrorNumber::DeviceIo,
                           "Device I/O error: the device was disconnected"};
}

platform::Result<void> FakePort::discardInput() {
    deliverDue();
    received_.clear();
    return {};
}

platform::Result<void> FakePort::write(std::span<const std::uint8_t> bytes) {
    if (auto fault = gone()) return *fault;
    frames_.emplace_back(bytes.begin(), bytes.end());
    if (device_) {
        const double now = clock_.now();
        for (const Chunk& chunk : device_(bytes, now)) schedule(now + chunk.afterMs, chunk.bytes);
    }
    return {};
}

platform::Result<int> FakePort::bytesWaiting() {
    if (auto fault = gone()) return *fault;
    deliverDue();
    return static_cast<int>(received_.size());
}

platform::Result<int> FakePort::waitForBytes(int known, double timeoutMs) {
    if (auto fault = gone()) return *fault;
    deliverDue();
    if (static_cast<int>(received_.size()) > known) return static_cast<int>(received_.size());
    const double deadline = clock_.now() + std::max(timeoutMs, 0.0);
    double wakeAt = deadline;
    if (!pending_.empty() && pending_.front().at < wakeAt) wakeAt = pending_.front().at;
    if (unplugAt_ < wakeAt) wakeAt = unplugAt_;
    clock_.advanceTo(wakeAt);
    if (auto fault = gone()) return *fault;
    deliverDue();
    return static_cast<int>(received_.size());
}

platform::Result<void> FakePort::readAll(std::vector<std::uint8_t>& out) {
    out.clear();
    if (auto fault = gone()) return *fault;
    deliverDue();
    out.swap(received_);
    return {};
}

}  // namespace korvath::test
