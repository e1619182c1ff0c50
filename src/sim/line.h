// The serial line between a client and the simulated controller, in time: when each sent byte
// has arrived, when the device has its answer, when each reply byte is out, babble and unplug.
// It moves no bytes itself; SimPort and the korvath-sim program drive it with their own clocks.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <span>

#include "sim/controller.h"

namespace korvath::sim {

class Line {
  public:
    /// Called with each response as the device produces it, and the time its request completed.
    using ResponseLog = std::function<void(const Response&, double requestEndMs)>;

    /// `controller` must outlive the line.
    explicit Line(Controller& controller) : controller_(controller) {}

    void setResponseLog(ResponseLog log) { log_ = std::move(log); }

    /// Hands each sent byte to the controller at once, stamped with its arrival time, instead
    /// of when that time comes. What leaves the line and when stays the same, but the driver
    /// need not wake for every incoming byte: only for reply bytes, babble and the unplug.
    /// The controller's state then runs ahead of the clock by the bytes in flight, and clear()
    /// cannot take them back, so only a driver that never closes its end may use it.
    void setDeliverOnSend(bool on) { deliverOnSend_ = on; }

    /// Bytes the client sent at `nowMs`; with pacing they arrive one every kByteTimeMs, after
    /// whatever is still on the line.
    void send(std::span<const std::uint8_t> bytes, double nowMs);

    /// Runs everything due by `nowMs` in time order: arrived bytes go to the controller, and
    /// every reply or babble byte whose time has come goes to `out`.
    void advance(double nowMs, const std::function<void(std::uint8_t)>& out);

    /// When the next thing happens: a byte arrives or is out, babble, or the line dies.
    [[nodiscard]] std::optional<double> nextEventMs() const;

    /// True once the unplug fault has closed the line.
    [[nodiscard]] bool deadAt(double nowMs) const;

    /// Forgets everything in flight, as when the port closes.
    void clear();

  private:
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    struct Timed {
        double atMs;
        std::uint8_t byte;
    };

    void deliver(Timed arrived);
    void schedule(const Response& response, double requestEndMs);

    Controller& controller_;
    ResponseLog log_;
    bool deliverOnSend_ = false;
    std::deque<Timed> incoming_;
    std::deque<Timed> outgoing_;
    double inLineFreeMs_ = -kNever;
    double outLineFreeMs_ = -kNever;
    double deviceFreeMs_ = -kNever;
    double nextBabbleMs_ = kNever;
    bool unplugArmed_ = false;
    double unplugAtMs_ = kNever;
};

}  // namespace korvath::sim
