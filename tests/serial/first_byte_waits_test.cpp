// The waits of a port whose reads wait for a first byte (the Windows port), on a port that plays
// a script of reads on a virtual clock: a lost device is told from a quiet line by how its
// reads end, and a wait never outlasts its time-out.
#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "serial/port_base.h"
#include "support/fake_port.h"
#include "support/virtual_clock.h"

namespace korvath::serial {
namespace {

/// One read of the script: what it gives and how long it takes.
struct Read {
    enum Gives { Byte, Nothing, Failure } gives;
    double tookMs;  ///< below 0: the whole time-out the read was given
};

class ScriptedPort final : public detail::FirstByteWaits {
  public:
    ScriptedPort(std::vector<Read> script, test::VirtualClock& clock)
        : FirstByteWaits("COM9", clock), script_(script.begin(), script.end()), clock_(clock) {}

    [[nodiscard]] bool isOpen() const override { return open_; }
    platform::Result<void> discardInput() override { return {}; }
    platform::Result<void> write(std::span<const std::uint8_t>) override { return {}; }

    int reads = 0;

  private:
    platform::Result<FirstByte> readFirstByte(unsigned ms, std::uint8_t& byte) override {
        ++reads;
        // Past its script the line is quiet: every read takes its whole time-out.
        const Read read = script_.empty() ? Read{Read::Nothing, -1} : script_.front();
        if (!script_.empty()) script_.pop_front();
        clock_.advanceBy(read.tookMs < 0 ? ms : read.tookMs);
        if (read.gives == Read::Failure)
            return failedWhile("reading", "The device does not recognize the command");
        byte = 0x06;
        return read.gives == Read::Byte ? FirstByte::Byte : FirstByte::Nothing;
    }
    platform::Result<void> takeArrived() override { return {}; }
    void closeDevice() override { open_ = false; }

    std::deque<Read> script_;
    test::VirtualClock& clock_;
    bool open_ = true;
};

struct WaitCase {
    const char* name;
    std::vector<Read> script;
    double timeoutMs;
    int returned;     ///< what waitForBytes(0, timeoutMs) gives
    bool lost;        ///< the port closed with the lost-port report
    double atMostMs;  ///< the wait's time on the port's clock
    friend void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }
};

class FirstByteWait : public ::testing::TestWithParam<WaitCase> {};

TEST_P(FirstByteWait, EndsWithinItsTimeOutAndTellsALostDevice) {
    const WaitCase& c = GetParam();
    test::VirtualClock clock;
    const double start = clock.now();
    ScriptedPort port(c.script, clock);
    const platform::Result<int> waited = port.waitForBytes(0, c.timeoutMs);
    EXPECT_EQ(test::countOf(waited), c.returned);
    EXPECT_LE(clock.now() - start, c.atMostMs);
    EXPECT_EQ(port.isOpen(), c.returned >= 0);
    if (c.lost) {
        EXPECT_EQ(waited.fault().text, lostMessage("COM9"));
        EXPECT_EQ(port.reads, detail::FirstByteWaits::kEarlyEmptyReads);
        // Every later call is refused with the same reason, at once.
        const platform::Result<int> again = port.waitForBytes(0, c.timeoutMs);
        ASSERT_FALSE(again);
        EXPECT_EQ(again.fault().text, lostMessage("COM9"));
    }
}

constexpr Read kAtOnce{Read::Nothing, 0.01};
constexpr Read kTimedOut{Read::Nothing, -1};

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstByteWait,
    ::testing::Values(
        WaitCase{"hung_up_line_long_wait", {kAtOnce, kAtOnce, kAtOnce}, 5000, -1, true, 1},
        // A short wait (the gap after a reply) tells it too: no spin until a later deadline.
        WaitCase{"hung_up_line_short_wait", {kAtOnce, kAtOnce, kAtOnce}, 2, -1, true, 1},
        WaitCase{"quiet_line_takes_its_time_out", {kTimedOut}, 30, 0, false, 30},
        WaitCase{"quiet_line_fraction_paused", {kTimedOut}, 2.5, 0, false, 2.5},
        WaitCase{"one_early_return_then_a_byte", {kAtOnce, {Read::Byte, 3}}, 100, 1, false, 4},
        WaitCase{"early_returns_broken_by_a_time_out",
                 {kAtOnce, kAtOnce, {Read::Nothing, 60}, kAtOnce, kAtOnce, {Read::Byte, 1}},
                 100,
                 1,
                 false,
                 62},
        WaitCase{"failing_read_closes_the_port", {{Read::Failure, 0}}, 100, -1, false, 0.1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvath::serial
