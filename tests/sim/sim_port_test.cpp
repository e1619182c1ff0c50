#include "sim/sim_port.h"

#include <gtest/gtest.h>

#include "frames.h"
#include "link/link.h"
#include "support/fake_port.h"
#include "support/virtual_clock.h"

namespace korvath::sim {
namespace {

using namespace test;
using korvath::test::VirtualClock;

constexpr double kByte = kByteTimeMs;

Options model(int n) {
    Options o;
    o.model = n;
    return o;
}

/// Writes a request and waits for its first reply byte; returns the time it took.
double firstByteAfter(SimPort& port, VirtualClock& clock, const Bytes& request) {
    EXPECT_TRUE(port.discardInput());
    const double start = clock.now();
    EXPECT_TRUE(port.write(request));
    EXPECT_EQ(korvath::test::countOf(port.waitForBytes(0, 10000)), 1);
    return clock.now() - start;
}

TEST(SimPortTiming, ReplyComesWhenTheRequestHasCrossedTheLineAndBeenProcessed) {
    Options options;
    options.programMs = 2;
    options.blankCheckMs = 20;
    options.eraseMs = 300;
    VirtualClock clock;
    SimPort port(options, clock);
    struct Step {
        Bytes request;
        double processingMs;
    } steps[] = {
        {probe(), kCommandMs}, {password("KPL-WU"), kCommandMs}, {blankCheck(10), 20},
        {erase(10), 300},      {program(0xE00000, record()), 2},
    };
    for (const auto& step : steps) {
        std::vector<std::uint8_t> reply;
        const double expected = step.request.size() * kByte + step.processingMs + kByte;
        EXPECT_NEAR(firstByteAfter(port, clock, step.request), expected, 1e-6)
            << step.request.size();
        ASSERT_TRUE(port.readAll(reply));
        EXPECT_EQ(reply, Bytes{0x06});
    }
}

TEST(SimPortTiming, WithoutPacingOnlyProcessingTimeRemains) {
    Options options;
    options.pacing = false;
    VirtualClock clock;
    SimPort port(options, clock);
    EXPECT_NEAR(firstByteAfter(port, clock, probe()), kCommandMs, 1e-9);
    EXPECT_NEAR(firstByteAfter(port, clock, password("KPL-WU")), kCommandMs, 1e-9);
}

TEST(SimPortTiming, LongReplyBecomesReadableWholeAtLineSpeed) {
    Options options;
    options.longReplyEvery = 1;
    VirtualClock clock;
    SimPort port(options, clock);
    const double start = clock.now();
    ASSERT_TRUE(port.write(probe()));
    const double lastDue = start + kByte + kCommandMs + (1 + kLongReplyFiller) * kByte;
    clock.advanceTo(lastDue - 0.5 * kByte);
    EXPECT_EQ(korvath::test::countOf(port.bytesWaiting()), 0);
    // Waiting returns as the reply is out, not at the time-out, and all of it at once.
    EXPECT_EQ(korvath::test::countOf(port.waitForBytes(0, 1000)), 61);
    EXPECT_NEAR(clock.now(), lastDue, 1e-6);
}

TEST(SimPortWaiting, SilentDeviceTimesOutAfterOneSleep) {
    Options options;
    options.silent = true;
    VirtualClock clock;
    SimPort port(options, clock);
    ASSERT_TRUE(port.write(probe()));
    const double start = clock.now();
    EXPECT_EQ(korvath::test::countOf(port.waitForBytes(0, 1000)), 0);
    EXPECT_DOUBLE_EQ(clock.now() - start, 1000);
    // Asleep for the whole wait, not polling: the incoming byte and the deadline at most.
    EXPECT_LE(clock.sleeps().size(), 2u);
}

TEST(SimPortWaiting, DiscardKeepsBytesStillOnTheLine) {
    Options options;
    VirtualClock clock;
    SimPort port(options, clock);
    ASSERT_TRUE(port.write(probe()));
    ASSERT_TRUE(port.write(probe()));
    ASSERT_EQ(korvath::test::countOf(port.waitForBytes(0, 100)), 1);
    EXPECT_TRUE(port.discardInput());
    EXPECT_EQ(korvath::test::countOf(port.bytesWaiting()), 0);
    clock.advanceBy(1000);
    EXPECT_EQ(korvath::test::countOf(port.bytesWaiting()), 1);
}

TEST(SimPortFaults, BabbleNeverFallsQuiet) {
    Options options;
    options.babbleAfter = 1;
    VirtualClock clock;
    SimPort port(options, clock);
    ASSERT_TRUE(port.write(probe()));
    ASSERT_EQ(korvath::test::countOf(port.waitForBytes(0, 100)), 1);
    const double ackAt = clock.now();
    // Every burst is longer than a reply may be, so even a host that stalls between bursts
    // never reads a short reply.
    for (int n = 1; n <= 10; ++n) {
        const int before = 1 + (n - 1) * static_cast<int>(kBabbleBurst);
        ASSERT_EQ(korvath::test::countOf(port.waitForBytes(before, 2.5)),
                  before + static_cast<int>(kBabbleBurst));
        EXPECT_NEAR(clock.now(), ackAt + n * kBabbleIntervalMs, 1e-6);
    }
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(port.readAll(bytes));
    EXPECT_EQ(bytes.front(), 0x06);
    EXPECT_EQ(bytes.back(), kBabbleByte);
    // Hours without a reader: the receive buffer overflows instead of growing.
    clock.advanceBy(10000);
    EXPECT_EQ(korvath::test::countOf(port.bytesWaiting()),
              static_cast<int>(SimPort::kReceiveCapacity));
}

TEST(SimPortFaults, UnplugFailsLikeADeviceGone) {
    Options options;
    options.unplugAfter = 2;
    VirtualClock clock;
    SimPort port(options, clock);
    link::Link link(port, clock);
    ASSERT_TRUE(link.unlock());
    std::vector<std::uint8_t> reply;
    for (std::uint32_t address : {0xE00000u, 0xE00040u}) {
        EXPECT_TRUE(port.discardInput());
        ASSERT_TRUE(port.write(program(address, record())));
        ASSERT_EQ(korvath::test::countOf(port.waitForBytes(0, 100)), 1);
        EXPECT_EQ(korvath::test::countOf(port.waitForBytes(1, 3)), 1);
        ASSERT_TRUE(port.readAll(reply));
        EXPECT_EQ(reply, Bytes{0x06});
    }
    // The next request goes out, but the device is gone before its first byte lands.
    const double sentAt = clock.now();
    EXPECT_TRUE(port.write(program(0xE00080, record())));
    const platform::Result<int> waited = port.waitForBytes(0, 1000);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.fault().number, link::ErrorNumber::DeviceIo);
    EXPECT_NEAR(clock.now(), sentAt + kByte, 1e-6);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(korvath::test::countOf(port.bytesWaiting()), -1);
    EXPECT_FALSE(port.write(probe()));
    EXPECT_EQ(port.controller().counters().programs, 2);
    EXPECT_EQ(port.controller().readFlash(0xE00080), 0xFF);
}

TEST(SimPortWithLink, DownloadStepsAgainstEachModel) {
    for (int n = 1; n <= 3; ++n) {
        VirtualClock clock;
        SimPort port(model(n), clock);
        link::Link link(port, clock);
        ASSERT_TRUE(link.probe()) << n;
        const std::optional<link::Model> unlocked = link.unlock();
        ASSERT_TRUE(unlocked) << n;
        EXPECT_EQ(link::protocol::number(*unlocked), n);
        const int base = link::protocol::sectorBaseFor(n);
        EXPECT_EQ(link.blankCheck(base), link::SectorState::Blank);
        EXPECT_NE(link.blankCheck(base - 1), link::SectorState::Blank);
        const int count = link::protocol::sectorCountFor(n);
        EXPECT_EQ(link.erase(base + count - 1), link::Answer::Accepted);
        EXPECT_NE(link.erase(base + count), link::Answer::Accepted);
        EXPECT_TRUE(link.exitProgramming());
        EXPECT_FALSE(link.probe());
        EXPECT_EQ(link.exchangeFrame(probe()).status, link::ExchangeResult::Status::TimedOut);
    }
}

TEST(SimPortWithLink, LongReplyIsReportedAndBabbleIsBounded) {
    struct Sink : link::ErrorSink {
        void reportError(const platform::Fault& fault) override { numbers.push_back(fault.number); }
        std::vector<link::ErrorNumber> numbers;
    };
    {
        Options options;
        options.longReplyEvery = 1;
        VirtualClock clock;
        SimPort port(options, clock);
        Sink sink;
        link::Link link(port, clock, &sink);
        EXPECT_FALSE(link.probe());
        EXPECT_EQ(sink.numbers, std::vector{link::ErrorNumber::IndexOutOfRange});
    }
    {
        Options options;
        options.babbleAfter = 1;
        VirtualClock clock;
        SimPort port(options, clock);
        link::Link link(port, clock);
        const double start = clock.now();
        EXPECT_FALSE(link.probe());
        EXPECT_LT(clock.now() - start, 2 * link::protocol::kDefaultReplyTimeoutMs);
    }
}

}  // namespace
}  // namespace korvath::sim
