// A link::Port whose far end is a simulated controller in the same process. Reply bytes become
// readable when line pacing and processing times say so, measured on the injected clock.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "link/clock.h"
#include "link/port.h"
#include "sim/controller.h"
#include "sim/line.h"

namespace korvath::sim {

class SimPort final : public link::Port {
  public:
    /// Bytes received and not read beyond this are lost, as in a driver's buffer.
    static constexpr std::size_t kReceiveCapacity = 4096;

    /// Opens at once. `clock` must outlive the port. Throws std::invalid_argument on bad options.
    SimPort(const Options& options, link::Clock& clock);

    [[nodiscard]] Controller& controller() { return controller_; }
    [[nodiscard]] Line& line() { return line_; }

    [[nodiscard]] bool isOpen() const override { return open_; }
    void discardInput() override;
    /// Puts the bytes on the line; the controller takes each when it has arrived.
    bool write(std::span<const std::uint8_t> bytes) override;
    [[nodiscard]] int bytesWaiting() override;
    /// Sleeps on the clock until the next byte is due or the time-out ends, never spinning.
    int waitForBytes(int known, double timeoutMs) override;
    bool readAll(std::vector<std::uint8_t>& out) override;
    [[nodiscard]] link::PortError lastError() const override { return error_; }
    void close() override;

  private:
    /// Runs the line up to now. False, with the error set, when the port is closed or the line
    /// has died (the port then closes itself).
    bool catchUp(double nowMs);

    Controller controller_;
    Line line_;
    link::Clock& clock_;
    bool open_ = true;
    std::vector<std::uint8_t> received_;
    link::PortError error_;
};

}  // namespace korvath::sim
