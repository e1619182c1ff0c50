#include "sim/sim_port.h"

#include <string>

#include "link/link_error.h"

namespace korvath::sim {

namespace {

link::PortError deviceError(const char* what) {
    return {static_cast<int>(link::ErrorNumber::DeviceIo),
            std::string(link::toString(link::ErrorNumber::DeviceIo)) + ": " + what};
}

}  // namespace

SimPort::SimPort(const Options& options, link::Clock& clock)
    : controller_(options), line_(controller_), clock_(clock) {}

bool SimPort::catchUp(double nowMs) {
    if (!open_) {
        error_ = deviceError("port is not open");
        return false;
    }
    line_.advance(nowMs, [this](std::uint8_t byte) {
        if (received_.size() < kReceiveCapacity) received_.push_back(byte);
    });
    if (line_.deadAt(nowMs)) {
        close();
        error_ = deviceError("the device is gone");
        return false;
    }
    return true;
}

void SimPort::discardInput() {
    if (catchUp(clock_.nowMs())) received_.clear();
}

bool SimPort::write(std::span<const std::uint8_t> bytes) {
    const double now = clock_.nowMs();
    if (!catchUp(now)) return false;
    line_.send(bytes, now);
    return true;
}

int SimPort::bytesWaiting() {
    if (!catchUp(clock_.nowMs())) return -1;
    return static_cast<int>(received_.size());
}

int SimPort::waitForBytes(int known, double timeoutMs) {
    double now = clock_.nowMs();
    const double deadline = now + (timeoutMs > 0 ? timeoutMs : 0.0);
    for (;;) {
        if (!catchUp(now)) return -1;
        const int count = static_cast<int>(received_.size());
        if (count > known || now >= deadline) return count;
        const auto next = line_.nextEventMs();
        const double wakeAt = next && *next < deadline ? *next : deadline;
        // A due time a hair behind `now` was handled by catchUp; sleep at least to the deadline.
        clock_.sleepMs(wakeAt > now ? wakeAt - now : deadline - now);
        now = clock_.nowMs();
    }
}

bool SimPort::readAll(std::vector<std::uint8_t>& out) {
    out.clear();
    if (!catchUp(clock_.nowMs())) return false;
    out.swap(received_);
    return true;
}

void SimPort::close() {
    open_ = false;
    line_.clear();
    received_.clear();
}

}  // namespace korvath::sim
