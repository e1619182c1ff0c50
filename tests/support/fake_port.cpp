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

bool FakePort::gone() {
    if (open_ && clock_.now() >= unplugAt_) {
        open_ = false;
        error_ = {platform::ErrorNumber::DeviceIo, "Device I/O error: the device was disconnected"};
        return true;
    }
    return !open_;
}

void FakePort::discardInput() {
    deliverDue();
    received_.clear();
}

bool FakePort::write(std::span<const std::uint8_t> bytes) {
    if (gone()) return false;
    frames_.emplace_back(bytes.begin(), bytes.end());
    if (device_) {
        const double now = clock_.now();
        for (const Chunk& chunk : device_(bytes, now)) schedule(now + chunk.afterMs, chunk.bytes);
    }
    return true;
}

int FakePort::bytesWaiting() {
    if (gone()) return -1;
    deliverDue();
    return static_cast<int>(received_.size());
}

int FakePort::waitForBytes(int known, double timeoutMs) {
    if (gone()) return -1;
    deliverDue();
    if (static_cast<int>(received_.size()) > known) return static_cast<int>(received_.size());
    const double deadline = clock_.now() + std::max(timeoutMs, 0.0);
    double wakeAt = deadline;
    if (!pending_.empty() && pending_.front().at < wakeAt) wakeAt = pending_.front().at;
    if (unplugAt_ < wakeAt) wakeAt = unplugAt_;
    clock_.advanceTo(wakeAt);
    if (gone()) return -1;
    deliverDue();
    return static_cast<int>(received_.size());
}

bool FakePort::readAll(std::vector<std::uint8_t>& out) {
    out.clear();
    if (gone()) return false;
    deliverDue();
    out.swap(received_);
    return true;
}

}  // namespace korvath::test
