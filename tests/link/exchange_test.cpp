#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link.h"
#include "support/fake_port.h"
#include "support/recording_sink.h"

namespace korvath::link {
namespace {

using test::Bytes;
using test::Chunk;
using test::FakePort;
using test::RecordingSink;
using test::VirtualClock;

class ExchangeTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    FakePort port{clock};
    RecordingSink sink;
    Link link{port, clock, &sink};

    /// Sends a frame of `count` bytes (a probe byte first).
    ExchangeResult exchange(std::size_t count) {
        Bytes frame(count, 0);
        if (count > 0) frame[0] = 0x90;
        return link.exchangeFrame(frame);
    }
};

using Status = ExchangeResult::Status;

TEST_F(ExchangeTest, ImmediateAckEndsAfterTheQuietGap) {
    port.setDevice([](auto, double) { return test::reply(0x06, 0.3); });
    const double start = clock.now();
    const ExchangeResult result = exchange(1);
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{0x06});
    EXPECT_TRUE(result.acked());
    // More than the 2 ms of quiet, and hardly more: every record pays what it overshoots.
    const double took = clock.now() - start;
    EXPECT_GT(took, 0.3 + 2.0);
    EXPECT_LT(took, 0.3 + 2.0 + 0.02);
    ASSERT_EQ(port.frames().size(), 1u);
    EXPECT_EQ(port.frames()[0], Bytes{0x90});
}

TEST_F(ExchangeTest, SilenceTimesOutAfterTheFirstQuietPeriod) {
    const double start = clock.now();
    const ExchangeResult result = exchange(1);
    EXPECT_EQ(result.status, Status::TimedOut);
    EXPECT_TRUE(result.reply.empty());
    EXPECT_FALSE(result.acked());
    const double took = clock.now() - start;
    EXPECT_GE(took, 1002.0);
    EXPECT_LT(took, 1004.0);
    EXPECT_TRUE(sink.reports.empty());
}

TEST_F(ExchangeTest, BurstsWithShortGapsAreOneReply) {
    port.setDevice([](auto, double) {
        std::vector<Chunk> chunks;
        for (int i = 0; i < 10; ++i)
            chunks.push_back({0.5 + 1.9 * i, {static_cast<std::uint8_t>(i)}});
        return chunks;
    });
    const ExchangeResult result = exchange(1);
    EXPECT_EQ(result.status, Status::Replied);
    ASSERT_EQ(result.reply.size(), 10u);
    EXPECT_EQ(result.reply[9], 9);
}

TEST_F(ExchangeTest, ReplyAlreadyCompleteBeforeTheFirstPollIsTaken) {
    port.setDevice([](auto, double) { return test::reply(0x15, 0.0); });
    const ExchangeResult result = exchange(1);
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{0x15});
}

TEST_F(ExchangeTest, BytesWaitingBeforeTheSendAreDiscarded) {
    port.inject({0x06, 0x06, 0x06});
    port.setDevice([](auto, double) { return test::reply(0x15); });
    const ExchangeResult result = exchange(1);
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{0x15});
}

TEST_F(ExchangeTest, EachReplyIsOnlyItsOwnBytes) {
    port.setDevice([](auto, double) { return std::vector<Chunk>{{0.5, {0x06, 0x41, 0x42}}}; });
    EXPECT_EQ(exchange(1).reply, (Bytes{0x06, 0x41, 0x42}));
    port.setDevice([](auto, double) { return test::reply(0x15); });
    EXPECT_EQ(exchange(1).reply, Bytes{0x15});
}

TEST_F(ExchangeTest, OverlongReplyKeepsFirst51BytesReportsError9AndFails) {
    port.setDevice([](auto, double) {
        Bytes bytes(52);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
        bytes[0] = 0x06;
        return std::vector<Chunk>{{0.5, bytes}};
    });
    const ExchangeResult result = exchange(1);
    EXPECT_EQ(result.status, Status::Failed);
    ASSERT_EQ(result.reply.size(), 51u);
    EXPECT_EQ(result.reply[0], 0x06);
    EXPECT_EQ(result.reply[50], 51);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, ErrorNumber::IndexOutOfRange);
    ASSERT_TRUE(result.fault);
    EXPECT_EQ(result.fault->number, ErrorNumber::IndexOutOfRange);
    // The ACK at the front must not count as an acknowledged probe.
    EXPECT_FALSE(link.probe());
}

TEST_F(ExchangeTest, BabblingDeviceIsCutOffAfterTheTimeout) {
    port.setDevice([](auto, double) {
        std::vector<Chunk> chunks;
        for (int i = 0; i < 20000; ++i) chunks.push_back({0.5 + i * 1.0, {0x55}});
        return chunks;
    });
    const double start = clock.now();
    EXPECT_FALSE(exchange(1).acked());
    const double took = clock.now() - start;
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 1010.0);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, ErrorNumber::IndexOutOfRange);
}

TEST_F(ExchangeTest, ClosedPortSendsNothingAndCountsAsNoReply) {
    port.close();
    const ExchangeResult result = exchange(7);
    EXPECT_EQ(result.status, Status::NotSent);
    EXPECT_TRUE(result.reply.empty());
    EXPECT_TRUE(port.frames().empty());
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_FALSE(link.probe());
    EXPECT_FALSE(link.exitProgramming());
}

TEST_F(ExchangeTest, CountOutsideTheBufferIsReportedAndSendsNothing) {
    EXPECT_EQ(exchange(102).status, Status::Failed);
    EXPECT_EQ(exchange(0).status, Status::Failed);
    EXPECT_TRUE(port.frames().empty());
    ASSERT_EQ(sink.reports.size(), 2u);
    EXPECT_EQ(sink.reports[0].number, ErrorNumber::IndexOutOfRange);
}

TEST_F(ExchangeTest, DeviceGoneIsReportedOnceAndTheLinkCountsAsClosed) {
    port.setDevice([](auto, double) { return std::vector<Chunk>{}; });
    port.unplugAt(clock.now() + 100);
    const double start = clock.now();
    EXPECT_FALSE(link.probe());
    EXPECT_LT(clock.now() - start, 101.0);  // does not sit out the time-out
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].number, ErrorNumber::DeviceIo);
    EXPECT_FALSE(port.isOpen());

    for (int i = 0; i < 100; ++i) EXPECT_FALSE(link.probe());
    EXPECT_EQ(sink.reports.size(), 1u);
}

TEST_F(ExchangeTest, WriteFailureIsReportedOnce) {
    port.unplugAt(clock.now());
    EXPECT_FALSE(link.probe());
    EXPECT_FALSE(link.unlock());
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].shown(), "57 - Device I/O error: the device was disconnected");
}

// The wire trace sees each frame that reached the port, with its reply, time-out and times.
TEST_F(ExchangeTest, TheTraceSeesEveryFrameSentAndNothingElse) {
    struct Seen {
        Bytes frame;
        Status status;
        Bytes reply;
        double tookMs;
        int timeoutMs;
    };
    struct Trace : WireTrace {
        std::vector<Seen> seen;
        void exchanged(const WireExchange& e) override {
            seen.push_back({Bytes(e.frame.begin(), e.frame.end()), e.result.status, e.result.reply,
                            e.endedMs - e.sentMs, e.timeoutMs});
        }
    } trace;
    link.setTrace(&trace);
    port.setDevice([](auto, double) { return test::reply(0x06, 0.3); });
    EXPECT_TRUE(link.probe(250));
    port.setDevice({});
    EXPECT_FALSE(link.exitProgramming());
    (void)exchange(102);
    port.unplugAt(clock.now());
    EXPECT_FALSE(link.probe());
    (void)exchange(1);  // the port closed itself: nothing is sent

    ASSERT_EQ(trace.seen.size(), 3u);
    EXPECT_EQ(trace.seen[0].frame, Bytes{0x90});
    EXPECT_EQ(trace.seen[0].reply, Bytes{0x06});
    EXPECT_EQ(trace.seen[0].timeoutMs, 250);
    EXPECT_NEAR(trace.seen[0].tookMs, 2.3, 0.05);
    EXPECT_EQ(trace.seen[1].frame, (Bytes{0x1B, 0x7E, 0x00, 0x04, 0x9D, 0x80}));
    EXPECT_EQ(trace.seen[1].status, Status::TimedOut);
    EXPECT_NEAR(trace.seen[1].tookMs, 1002, 2);
    EXPECT_EQ(trace.seen[2].status, Status::Failed);
}

}  // namespace
}  // namespace korvath::link
