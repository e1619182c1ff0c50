// The serial port as the exchange uses it: the operations of the port control, plus a blocking
// wait for new bytes so that nobody has to poll. Opening by name is the adapters' business.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/fault.h"

namespace korvath::link {

/// Every call but isOpen() and close() gives the fault that stopped it. An adapter that finds
/// the device gone closes itself, so isOpen() is false afterwards, and it gives that same
/// fault for every later call: it explains a refusal better than "not open" does.
class Port {
  public:
    virtual ~Port() = default;

    /// True exactly while the port is open.
    [[nodiscard]] virtual bool isOpen() const = 0;

    /// Drops every byte received so far, in the driver and in our own buffer.
    virtual platform::Result<void> discardInput() = 0;

    /// Sends `bytes` unchanged, in order, as one output operation, and returns once they are
    /// handed to the driver.
    virtual platform::Result<void> write(std::span<const std::uint8_t> bytes) = 0;

    /// Received bytes not yet read.
    [[nodiscard]] virtual platform::Result<int> bytesWaiting() = 0;

    /// Blocks until more than `known` bytes are waiting or `timeoutMs` has passed, whichever
    /// comes first; never spins. Gives the count waiting afterwards.
    virtual platform::Result<int> waitForBytes(int known, double timeoutMs) = 0;

    /// Moves every waiting byte into `out` (replacing its content), unchanged and in arrival
    /// order.
    virtual platform::Result<void> readAll(std::vector<std::uint8_t>& out) = 0;

    /// Closes the port; closing a closed port does nothing.
    virtual void close() = 0;
};

}  // namespace korvath::link

namespace korvath::link {

/// A port that is never open: what a link talks to before the user has opened a real one.
class ClosedPort final : public Port {
  public:
    [[nodiscard]] bool isOpen() const override { return false; }
    platform::Result<void> discardInput() override { return notOpen(); }
    platform::Result<void> write(std::span<const std::uint8_t>) override { return notOpen(); }
    [[nodiscard]] platform::Result<int> bytesWaiting() override { return notOpen(); }
    platform::Result<int> waitForBytes(int, double) override { return notOpen(); }
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        out.clear();
        return notOpen();
    }
    void close() override {}

    /// What every port says to a call after it was closed.
    [[nodiscard]] static platform::Fault notOpen() {
        return {platform::ErrorNumber::DeviceIo, "Port is not open"};
    }
};

/// An adapter that hands received bytes over only every `latencyMs` (its latency timer, above
/// 1 ms), so that every reply waits for it: worth a word to the user though the port opened.
struct SlowAdapter {
    std::string port;  ///< as the user knows it: "/dev/ttyUSB0", "COM5"
    int latencyMs = 0;
    std::string adapter;  ///< its name as the system shows it; empty when the system does not say
};

/// A port just opened, and what the user should hear about its adapter (found once per device
/// and run; the ports module words it).
struct OpenedPort {
    std::unique_ptr<Port> port;
    std::optional<SlowAdapter> slowAdapter{};
};

}  // namespace korvath::link
