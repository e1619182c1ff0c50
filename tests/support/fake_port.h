// A serial port for tests, on a VirtualClock: a scripted device answers each written frame with
// bytes due at given delays, and every frame written is recorded. Waiting advances the clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "link/port.h"
#include "support/virtual_clock.h"

namespace korvath::test {

using Bytes = std::vector<std::uint8_t>;

/// Bytes that reach the receive buffer `afterMs` after the frame that caused them was written.
struct Chunk {
    double afterMs = 0;
    Bytes bytes;
};

/// The scripted device: gets each written frame (and the time it was written), returns what
/// it sends back. An empty result is silence.
using Device = std::function<std::vector<Chunk>(std::span<const std::uint8_t> frame, double nowMs)>;

/// What a port's count call gave, -1 for a fault: how the test tables write it.
[[nodiscard]] inline int countOf(const platform::Result<int>& waited) {
    return waited ? *waited : -1;
}

/// A one-byte reply (ACK 0x06 by default) after `afterMs`.
[[nodiscard]] std::vector<Chunk> reply(std::uint8_t byte = 0x06, double afterMs = 0.5);

class FakePort final : public link::Port {
  public:
    explicit FakePort(VirtualClock& clock, Device device = {});

    void setDevice(Device device) { device_ = std::move(device); }
    void open() { open_ = true; }

    /// Bytes that arrive by themselves, `afterMs` from now (line noise, a late reply).
    void inject(const Bytes& bytes, double afterMs = 0);

    /// From virtual time `atMs` on, the device is gone: the next operation fails with error 57
    /// and the port closes itself, as the real adapter does.
    void unplugAt(double atMs) { unplugAt_ = atMs; }

    /// Every frame written, in order.
    [[nodiscard]] const std::vector<Bytes>& frames() const { return frames_; }
    void clearFrames() { frames_.clear(); }

    [[nodiscard]] bool isOpen() const override { return open_; }
    platform::Result<void> discardInput() override;
    platform::Result<void> write(std::span<const std::uint8_t> bytes) override;
    [[nodiscard]] platform::Result<int> bytesWaiting() override;
    platform::Result<int> waitForBytes(int known, double timeoutMs) override;
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override;
    void close() override { open_ = false; }

  private:
    struct Pending {
        double at;
        std::uint8_t byte;
    };
    void schedule(double at, const Bytes& bytes);
    void deliverDue();
    /// The fault once the device is gone or the port closed.
    [[nodiscard]] std::optional<platform::Fault> gone();

    VirtualClock& clock_;
    Device device_;
    bool open_ = true;
    double unplugAt_ = std::numeric_limits<double>::infinity();
    std::deque<Pending> pending_;
    Bytes received_;
    std::vector<Bytes> frames_;
    bool unplugged_ = false;
};

}  // namespace korvath::test
