#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link.h"
#include "support/recording_sink.h"
#include "support/fake_port.h"

namespace korvath::link {
namespace {

using test::Bytes;
using test::Chunk;
using test::FakePort;
using test::VirtualClock;
using test::RecordingSink;

class ExchangeTest : public ::testing::Test {
protected:
    VirtualClock clock;
    FakePort port{clock};
    RecordingSink sink;
    Link link{port, clock, &sink};

    std::int16_t exchange(std::int16_t count, bool wait = true) {
        lastCount = count;
        return link.ExchangeFrame(lastCount, wait);
    }
    std::int16_t lastCount = 0;
};

TEST_F(ExchangeTest, ImmediateAckEndsAfterTheQuietGap) {
    port.setDevice([](auto, double) { return test::reply(0x06, 0.3); });
    link.SendBuffer[0] = 0x90;
    const double start = clock.now();
    EXPECT_EQ(exchange(1), 0);
    EXPECT_EQ(lastCount, 1);
    EXPECT_EQ(link.ReplyBuffer[0], 0x06);
    EXPECT_FALSE(link.ReplyTimedOut);
    const double took = clock.now() - start;
    EXPECT_GT(took, 0.3 + 2.0);
    EXPECT_LT(took, 0.3 + 3.0);
    ASSERT_EQ(port.frames().size(), 1u);
    EXPECT_EQ(port.frames()[0], Bytes{0x90});
}

TEST_F(ExchangeTest, SilenceTimesOutAfterTheFirstQuietPeriodAndKeepsTheStaleByte) {
    link.ReplyBuffer[0] = 0x06;   // left by an earlier reply
    const double start = clock.now();
    EXPECT_EQ(exchange(1), 1);
    EXPECT_EQ(lastCount, 0);
    EXPECT_EQ(link.ReplyBuffer[0], 0x06);
    EXPECT_TRUE(link.ReplyTimedOut);
    const double took = clock.now() - start;
    EXPECT_GE(took, 1002.0);
    EXPECT_LT(took, 1004.0);
    EXPECT_TRUE(sink.reports.empty());
}

TEST_F(ExchangeTest, BurstsWithShortGapsAreOneReply) {
    port.setDevice([](auto, double) {
        std::vector<Chunk> chunks;
        for (int i = 0; i < 10; ++i) chunks.push_back({0.5 + 1.9 * i, {static_cast<std::uint8_t>(i)}});
        return chunks;
    });
    EXPECT_EQ(exchange(1), 0);
    EXPECT_EQ(lastCount, 10);
    EXPECT_EQ(link.ReplyBuffer[9], 9);
}

TEST_F(ExchangeTest, ReplyAlreadyCompleteBeforeTheFirstPollIsTaken) {
    port.setDevice([](auto, double) { return test::reply(0x15, 0.0); });
    EXPECT_EQ(exchange(1), 0);
    EXPECT_EQ(lastCount, 1);
    EXPECT_EQ(link.ReplyBuffer[0], 0x15);
}

TEST_F(ExchangeTest, BytesWaitingBeforeTheSendAreDiscarded) {
    port.inject({0x06, 0x06, 0x06});
    port.setDevice([](auto, double) { return test::reply(0x15); });
    EXPECT_EQ(exchange(1), 0);
    EXPECT_EQ(lastCount, 1);
    EXPECT_EQ(link.ReplyBuffer[0], 0x15);
    EXPECT_EQ(link.ReplyBuffer[1], 0x00);
}

TEST_F(ExchangeTest, ShorterReplyKeepsTheRestOfTheBufferAndSendBufferIsNeverCleared) {
    port.setDevice([](auto, double) { return std::vector<Chunk>{{0.5, {0x06, 0x41, 0x42}}}; });
    exchange(1);
    port.setDevice([](auto, double) { return test::reply(0x15); });
    exchange(1);
    EXPECT_EQ(link.ReplyBuffer[0], 0x15);
    EXPECT_EQ(link.ReplyBuffer[1], 0x41);
    EXPECT_EQ(link.ReplyBuffer[2], 0x42);

    for (int i = 0; i < 73; ++i) link.SendBuffer[static_cast<std::size_t>(i)] = 0xAA;
    link.EraseSector(0);
    for (int i = 7; i < 73; ++i) EXPECT_EQ(link.SendBuffer[static_cast<std::size_t>(i)], 0xAA) << i;
}

TEST_F(ExchangeTest, OverlongReplyKeepsFirst51BytesReportsError9AndFails) {
    port.setDevice([](auto, double) {
        Bytes bytes(52);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
        bytes[0] = 0x06;
        return std::vector<Chunk>{{0.5, bytes}};
    });
    EXPECT_EQ(exchange(1), 1);
    EXPECT_EQ(lastCount, 1);   // as the caller gave it
    EXPECT_EQ(link.ReplyBuffer[0], 0x06);
    EXPECT_EQ(link.ReplyBuffer[50], 51);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, 9);
    // The ACK at the front must not count as an acknowledged probe.
    EXPECT_FALSE(link.ProbeDevice());
}

TEST_F(ExchangeTest, BabblingDeviceIsCutOffAfterTheTimeout) {
    port.setDevice([](auto, double) {
        std::vector<Chunk> chunks;
        for (int i = 0; i < 20000; ++i) chunks.push_back({0.5 + i * 1.0, {0x55}});
        return chunks;
    });
    const double start = clock.now();
    EXPECT_EQ(exchange(1), 1);
    EXPECT_TRUE(link.ReplyTimedOut);
    const double took = clock.now() - start;
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 1010.0);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, 9);
}

TEST_F(ExchangeTest, ClosedPortSendsNothingAndCountsAsNoReply) {
    port.close();
    link.ReplyBuffer[0] = 0x06;
    EXPECT_EQ(exchange(7), 1);
    EXPECT_EQ(lastCount, 0);
    EXPECT_EQ(link.ReplyBuffer[0], 0x06);
    EXPECT_TRUE(port.frames().empty());
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_FALSE(link.ProbeDevice());
    EXPECT_FALSE(link.ExitProgramming());
}

TEST_F(ExchangeTest, NoWaitTakesWhatHasArrived) {
    port.inject({0x01});
    port.setDevice([](auto, double) { return test::reply(0x06, 0.0); });
    EXPECT_EQ(exchange(1, false), 0);
    EXPECT_EQ(lastCount, 1);
    EXPECT_EQ(link.ReplyBuffer[0], 0x06);
}

TEST_F(ExchangeTest, CountOutsideTheBufferIsReportedAndSendsNothing) {
    EXPECT_EQ(exchange(102), 1);
    EXPECT_EQ(lastCount, 102);
    EXPECT_EQ(exchange(0), 1);
    EXPECT_TRUE(port.frames().empty());
    ASSERT_EQ(sink.reports.size(), 2u);
    EXPECT_EQ(sink.reports[0].number, 9);
}

TEST_F(ExchangeTest, DeviceGoneIsReportedOnceAndTheLinkCountsAsClosed) {
    port.setDevice([](auto, double) { return std::vector<Chunk>{}; });
    port.unplugAt(clock.now() + 100);
    link.ReplyBuffer[0] = 0x06;
    const double start = clock.now();
    EXPECT_FALSE(link.ProbeDevice());
    EXPECT_LT(clock.now() - start, 101.0);   // does not sit out the time-out
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, 57);
    EXPECT_FALSE(port.isOpen());

    for (int i = 0; i < 100; ++i) EXPECT_FALSE(link.ProbeDevice());
    EXPECT_EQ(sink.reports.size(), 1u);
}

TEST_F(ExchangeTest, WriteFailureIsReportedOnce) {
    port.unplugAt(clock.now());
    EXPECT_FALSE(link.ProbeDevice());
    EXPECT_FALSE(link.SendPassword());
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, 57);
}

TEST(WaitForReply, NoWaitLeavesTheTimedOutFlagAlone) {
    VirtualClock clock;
    FakePort port(clock);
    Link link(port, clock);
    link.ReplyTimedOut = true;
    EXPECT_EQ(link.WaitForReply(false, 1000), 0);
    EXPECT_TRUE(link.ReplyTimedOut);
}

}  // namespace
}  // namespace korvath::link
