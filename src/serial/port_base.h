// What the serial port of every system keeps alike: the bytes received and not yet taken, the
// last failure, and the rule that a port closed by a failure keeps giving that failure as the
// reason for every later refusal. Each system supplies the device's handle and its waits.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "link/link_error.h"
#include "link/port.h"
#include "serial/serial_port.h"

namespace korvath::serial::detail {

class PortBase : public link::Port {
  public:
    [[nodiscard]] int bytesWaiting() override {
        if (!isOpen()) {
            notOpen();
            return -1;
        }
        // Bytes still in the driver show in the next wait, which returns at once for them.
        return count();
    }

    bool readAll(std::vector<std::uint8_t>& out) override {
        out.clear();
        if (!isOpen()) return notOpen();
        out.swap(received_);
        return true;
    }

    [[nodiscard]] platform::Fault lastError() const override { return lastError_; }

    void close() override { closePort(); }

  protected:
    using Clock = std::chrono::steady_clock;

    explicit PortBase(std::string device) : device_(std::move(device)) {}

    /// Releases the system's handle, when there is one. A system's destructor calls closePort().
    virtual void closeDevice() = 0;

    /// When a wait of `timeoutMs` ends: NaN, negative and absurd time-outs become "now" and "a
    /// long time".
    [[nodiscard]] static Clock::time_point deadlineAfter(double timeoutMs) {
        const double bounded =
            timeoutMs > 0 ? std::min(timeoutMs, static_cast<double>(INT_MAX)) : 0;
        return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double, std::milli>(bounded));
    }

    [[nodiscard]] const std::string& device() const { return device_; }

    [[nodiscard]] int count() const {
        return static_cast<int>(std::min<std::size_t>(received_.size(), INT_MAX));
    }

    void receive(const std::uint8_t* begin, const std::uint8_t* end) {
        received_.insert(received_.end(), begin, end);
    }

    void dropReceived() { received_.clear(); }

    void closePort() {
        closeDevice();
        received_.clear();
    }

    bool fail(std::string description) {
        lastError_ = {link::ErrorNumber::DeviceIo, std::move(description)};
        return false;
    }

    // The device went away: every later operation is refused with this reason.
    bool lost() {
        closePort();
        closedByFailure_ = true;
        return fail(lostMessage(device_));
    }

    /// Closes the port after the system's call failed with `reason` while `doing` something.
    bool failedWhile(const char* doing, const std::string& reason) {
        closePort();
        closedByFailure_ = true;
        return fail("Port " + device_ + " failed while " + doing + ": " + reason);
    }

    bool notOpen() {
        // After the device went away, its failure explains every later refusal better.
        if (!closedByFailure_) lastError_ = {link::ErrorNumber::DeviceIo, "Port is not open"};
        return false;
    }

  private:
    std::string device_;
    std::vector<std::uint8_t> received_;
    platform::Fault lastError_;
    bool closedByFailure_ = false;
};

}  // namespace korvath::serial::detail
