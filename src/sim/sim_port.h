// A link::Port whose far end is a simulated controller in the same process. Reply bytes become
// readable when line pacing and processing times say so, measured on the injected clock. The
// far end may also be a sequence of units, one taken off the line after another, as on a
// production line.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "link/clock.h"
#include "link/port.h"
#include "sim/controller.h"
#include "sim/line.h"

namespace korvath::sim {

/// One unit of a sequence on a port: how it behaves, when it is plugged in and how long it
/// stays after its restart.
struct UnitSlot {
    Options options;
    /// From the moment the previous unit was taken off (the first unit: from the start).
    double arrivesAfterMs = 0;
    /// From its restart (the exit frame's reply is out) until it is taken off. Without a card
    /// it is silent meanwhile; with a card its bootloader keeps answering.
    double staysMs = std::numeric_limits<double>::infinity();
};

class SimPort final : public link::Port {
  public:
    /// Bytes received and not read beyond this are lost, as in a driver's buffer.
    static constexpr std::size_t kReceiveCapacity = 4096;

    /// One unit that stays for good. Opens at once. `clock` must outlive the port. Throws
    /// std::invalid_argument on bad options.
    SimPort(const Options& options, link::Clock& clock);
    /// The units of `units`, one after another; while none is on the line nothing answers.
    SimPort(std::vector<UnitSlot> units, link::Clock& clock);

    /// The unit that arrived last (the first one before any arrived).
    [[nodiscard]] Controller& controller() { return *units_.back(); }
    /// The units that have arrived so far, in order.
    [[nodiscard]] std::size_t arrivedUnits() const { return arrived_; }
    [[nodiscard]] const Controller& unit(std::size_t index) const { return *units_.at(index); }

    [[nodiscard]] bool isOpen() const override { return open_; }
    platform::Result<void> discardInput() override;
    /// Puts the bytes on the line; the controller takes each when it has arrived.
    platform::Result<void> write(std::span<const std::uint8_t> bytes) override;
    [[nodiscard]] platform::Result<int> bytesWaiting() override;
    /// Sleeps on the clock until the next byte is due or the time-out ends, never spinning.
    platform::Result<int> waitForBytes(int known, double timeoutMs) override;
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override;
    void close() override;

  private:
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    /// Runs the line up to now, units coming and going on the way. Fails when the port is
    /// closed or the line has died (the port then closes itself).
    platform::Result<void> catchUp(double nowMs);
    void plugIn();
    void onResponse(const Response& response, double requestEndMs);

    std::vector<UnitSlot> slots_;
    std::vector<std::unique_ptr<Controller>> units_;  // one per slot, made up front
    std::size_t arrived_ = 0;
    std::unique_ptr<Line> line_;  // to the unit on the line; null while there is none
    double arrivesAtMs_ = kNever;
    double leavesAtMs_ = kNever;
    link::Clock& clock_;
    bool open_ = true;
    std::vector<std::uint8_t> received_;
};

}  // namespace korvath::sim
