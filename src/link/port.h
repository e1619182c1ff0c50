// The serial port as the exchange uses it: the operations of the port control, plus a blocking
// wait for new bytes so that nobody has to poll. Opening by name is the adapters' business.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/fault.h"

namespace korvath::link {

class Port {
  public:
    virtual ~Port() = default;

    /// True exactly while the port is open.
    [[nodiscard]] virtual bool isOpen() const = 0;

    /// Drops every byte received so far, in the driver and in our own buffer.
    virtual void discardInput() = 0;

    /// Sends `bytes` unchanged, in order, as one output operation, and returns once they are
    /// handed to the driver. False on failure (see lastError()).
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;

    /// Received bytes not yet read; -1 when the port failed (see lastError()).
    [[nodiscard]] virtual int bytesWaiting() = 0;

    /// Blocks until more than `known` bytes are waiting or `timeoutMs` has passed, whichever
    /// comes first; never spins. Returns the count waiting afterwards, -1 when the port failed.
    virtual int waitForBytes(int known, double timeoutMs) = 0;

    /// Moves every waiting byte into `out` (replacing its content), unchanged and in arrival
    /// order. False on failure (see lastError()).
    virtual bool readAll(std::vector<std::uint8_t>& out) = 0;

    /// The failure behind the last false / -1 result. An adapter that finds the device gone
    /// closes itself, so isOpen() is false afterwards.
    [[nodiscard]] virtual platform::Fault lastError() const = 0;

    /// Closes the port; closing a closed port does nothing.
    virtual void close() = 0;
};

}  // namespace korvath::link

namespace korvath::link {

/// A port that is never open: what a link talks to before the user has opened a real one.
class ClosedPort final : public Port {
  public:
    [[nodiscard]] bool isOpen() const override { return false; }
    void discardInput() override {}
    bool write(std::span<const std::uint8_t>) override { return false; }
    [[nodiscard]] int bytesWaiting() override { return -1; }
    int waitForBytes(int, double) override { return -1; }
    bool readAll(std::vector<std::uint8_t>& out) override {
        out.clear();
        return false;
    }
    [[nodiscard]] platform::Fault lastError() const override {
        return {platform::ErrorNumber::DeviceIo, "Port is not open"};
    }
    void close() override {}
};

/// A port just opened, and what the user should hear about its adapter even though it opened
/// (a slow latency timer, and how to lower it; empty when there is nothing to say).
struct OpenedPort {
    std::unique_ptr<Port> port;
    std::string advice{};
};

}  // namespace korvath::link
