// What the serial port of every system keeps alike: the bytes received and not yet taken, the
// last failure, and the rule that a port closed by a failure keeps giving that failure as the
// reason for every later refusal. Each system supplies the device's handle and its waits.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
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

    int waitForBytes(int known, double timeoutMs) override {
        if (!isOpen()) {
            notOpen();
            return -1;
        }
        const double bounded =
            timeoutMs > 0 ? std::min(timeoutMs, static_cast<double>(INT_MAX)) : 0;
        const Clock::time_point deadline =
            now() + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double, std::milli>(bounded));
        while (count() <= known) {
            const double left = msBetween(now(), deadline);
            // Time-outs count whole milliseconds: those go to the read, the rest is paused, so
            // that a 2 ms quiet gap does not grow to 3.
            const double whole = std::floor(left);
            if (whole < 1) {
                pause(left);
                if (!takeArrived()) return -1;
                break;
            }
            const Clock::time_point asked = now();
            std::uint8_t byte = 0;
            switch (readFirstByte(static_cast<unsigned>(whole), byte)) {
                case FirstByte::Failed:
                    return -1;
                case FirstByte::Nothing:
                    if (msBetween(asked, now()) >= whole / 2) {
                        earlyEmptyReads_ = 0;
                    } else if (++earlyEmptyReads_ >= kEarlyEmptyReads) {
                        earlyEmptyReads_ = 0;
                        lost();
                        return -1;
                    }
                    continue;
                case FirstByte::Byte:
                    earlyEmptyReads_ = 0;
                    receive(&byte, &byte + 1);
                    if (!takeArrived()) return -1;
                    break;
            }
        }
        return count();
    }

  protected:
    using PortBase::PortBase;

    enum class FirstByte { Byte, Nothing, Failed };

    /// One read that waits up to `ms` (at least 1) for one byte. Failed has already closed the
    /// port with its reason.
    virtual FirstByte readFirstByte(unsigned ms, std::uint8_t& byte) = 0;
    /// Takes what has arrived without waiting; false has closed the port with its reason.
    virtual bool takeArrived() = 0;
    /// Waits `ms` (below 1) without reading.
    virtual void pause(double ms) = 0;
    [[nodiscard]] virtual Clock::time_point now() const { return Clock::now(); }

  private:
    static double msBetween(Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    }

    int earlyEmptyReads_ = 0;
};

}  // namespace korvath::serial::detail
