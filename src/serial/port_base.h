// What the serial port of every system keeps alike: the bytes received and not yet taken, the
// wait for more of them on the link's clock, and the rule that a port closed by a failure keeps
// giving that failure as the reason for every later refusal. Each system supplies the device's
// handle and one step of the wait.
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/clock.h"
#include "link/port.h"
#include "serial/serial_port.h"

namespace korvath::serial::detail {

class PortBase : public link::Port {
  public:
    [[nodiscard]] platform::Result<int> bytesWaiting() override {
        if (!isOpen()) return refusal();
        // Bytes still in the driver show in the next wait, which returns at once for them.
        return count();
    }

    platform::Result<int> waitForBytes(int known, double timeoutMs) override {
        if (!isOpen()) return refusal();
        // NaN, negative and absurd time-outs become "now" and "a long time".
        const double bounded =
            timeoutMs > 0 ? std::min(timeoutMs, static_cast<double>(INT_MAX)) : 0;
        double now = clock_.nowMs();
        const double deadline = now + bounded;
        while (count() <= known) {
            const platform::Result<Step> step = waitStep(deadline - now);
            if (!step) return step.fault();
            if (*step == Step::TimeUp) break;
            now = clock_.nowMs();
        }
        return count();
    }

    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        out.clear();
        if (!isOpen()) return refusal();
        out.swap(received_);
        return {};
    }

    void close() override { closePort(); }

  protected:
    /// `clock` is the link's and must outlive the port.
    PortBase(std::string device, link::Clock& clock) : device_(std::move(device)), clock_(clock) {}

    enum class Step { Again, TimeUp };

    /// One step of a wait with `leftMs` to go (zero or less: take what has arrived without
    /// waiting): waits for bytes and takes in what came (receive()). TimeUp when the time is up
    /// with nothing more to take; Again to look at the count and the time again. A fault has
    /// already closed the port.
    virtual platform::Result<Step> waitStep(double leftMs) = 0;

    /// Releases the system's handle, when there is one. A system's destructor calls closePort().
    virtual void closeDevice() = 0;

    [[nodiscard]] const std::string& device() const { return device_; }
    [[nodiscard]] link::Clock& clock() { return clock_; }

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

    [[nodiscard]] static platform::Fault fault(std::string description) {
        return {platform::ErrorNumber::DeviceIo, std::move(description)};
    }

    /// The device went away: every later operation is refused with this reason.
    platform::Fault lost() { return closeFor(fault(lostMessage(device_))); }

    /// Closes the port after the system's call failed with `reason` while `doing` something.
    platform::Fault failedWhile(const char* doing, const std::string& reason) {
        return closeFor(fault("Port " + device_ + " failed while " + doing + ": " + reason));
    }

    /// Why a call on a closed port is refused.
    [[nodiscard]] platform::Fault refusal() const {
        // After the device went away, its failure explains every later refusal better.
        return closedBy_ ? *closedBy_ : link::ClosedPort::notOpen();
    }

  private:
    platform::Fault closeFor(platform::Fault reason) {
        closePort();
        closedBy_ = reason;
        return reason;
    }

    std::string device_;
    link::Clock& clock_;
    std::vector<std::uint8_t> received_;
    std::optional<platform::Fault> closedBy_;
};

/// A port whose waits are reads: one read waits up to a time-out for the first byte, then a read
/// that does not wait takes whatever else has arrived (the Windows port). Such a read tells a
/// quiet line from a lost one only by how it ends: a time-out never ends early, so a read that
/// comes back with nothing before half its time-out has passed, several times in a row, is a
/// device gone (a driver whose adapter was pulled, Wine's hung-up line), and the wait ends at
/// once with the lost-port report rather than spinning on empty reads until its deadline and
/// through every retry after it.
class FirstByteWaits : public PortBase {
  public:
    /// Early empty reads in a row that make the port lost; a byte or a read that took its
    /// whole time-out starts the count again.
    static constexpr int kEarlyEmptyReads = 3;

  protected:
    using PortBase::PortBase;

    enum class FirstByte { Byte, Nothing };

    /// One read that waits up to `ms` (at least 1) for one byte. A fault has already closed the
    /// port.
    virtual platform::Result<FirstByte> readFirstByte(unsigned ms, std::uint8_t& byte) = 0;
    /// Takes what has arrived without waiting; a fault has already closed the port.
    virtual platform::Result<void> takeArrived() = 0;

  private:
    platform::Result<Step> waitStep(double leftMs) override {
        // Time-outs count whole milliseconds: those go to the read, the rest is paused, so
        // that a 2 ms quiet gap does not grow to 3.
        const double whole = std::floor(leftMs);
        if (whole < 1) {
            clock().sleepMs(leftMs);
            if (platform::Result<void> taken = takeArrived(); !taken) return taken.fault();
            return Step::TimeUp;
        }
        const double asked = clock().nowMs();
        std::uint8_t byte = 0;
        const platform::Result<FirstByte> read = readFirstByte(static_cast<unsigned>(whole), byte);
        if (!read) return read.fault();
        if (*read == FirstByte::Nothing) {
            if (clock().nowMs() - asked >= whole / 2) {
                earlyEmptyReads_ = 0;
            } else if (++earlyEmptyReads_ >= kEarlyEmptyReads) {
                earlyEmptyReads_ = 0;
                return lost();
            }
            return Step::Again;
        }
        earlyEmptyReads_ = 0;
        receive(&byte, &byte + 1);
        if (platform::Result<void> taken = takeArrived(); !taken) return taken.fault();
        return Step::Again;
    }

    int earlyEmptyReads_ = 0;
};

}  // namespace korvath::serial::detail
