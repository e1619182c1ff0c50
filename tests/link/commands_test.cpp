#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "link/link.h"
#include "support/fake_port.h"

namespace korvath::link {
namespace {

using test::Bytes;
using test::Chunk;
using test::FakePort;
using test::VirtualClock;

// A device that accepts the password at position `model` and answers the other commands with
// the byte `answer`; timeouts are observed from the clock.
test::Device passwordDevice(int model, std::uint8_t answer = 0x06) {
    return [model, answer](std::span<const std::uint8_t> frame, double) -> std::vector<Chunk> {
        if (frame.size() == 12 && frame[1] == 0x73) {
            const std::string pw(frame.begin() + 3, frame.begin() + 9);
            const bool ok =
                pw == std::string(protocol::kModels[static_cast<std::size_t>(model - 1)].password);
            return test::reply(ok ? 0x06 : 0x15);
        }
        return test::reply(answer);
    };
}

class CommandsTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    FakePort port{clock};
    Link link{port, clock};
};

TEST_F(CommandsTest, ProbeTrustsAnAckOnlyWhenTheWaitDidNotTimeOut) {
    port.setDevice([](auto, double) { return test::reply(0x06); });
    EXPECT_TRUE(link.probe());

    port.setDevice({});
    EXPECT_FALSE(link.probe());
    const Bytes probe = {0x90};
    EXPECT_EQ(link.exchangeFrame(probe).status, ExchangeResult::Status::TimedOut);
}

TEST_F(CommandsTest, PasswordStopsAtTheAcceptedPosition) {
    port.setDevice(passwordDevice(2));
    EXPECT_EQ(link.unlock(), Model::M2);
    ASSERT_EQ(port.frames().size(), 2u);
    const Bytes first = port.frames()[0];
    EXPECT_EQ(first,
              (Bytes{0x1B, 0x73, 0x06, 'K', 'P', 'L', '-', 'W', 'U', 0x04, first[10], first[11]}));
    int sum = 0;
    for (int i = 0; i < 10; ++i) sum += first[static_cast<std::size_t>(i)];
    EXPECT_EQ(first[10], sum % 256);
    EXPECT_EQ(first[11], (sum / 256) | 0x80);
}

TEST_F(CommandsTest, PasswordRefusedEverywhereSendsThreeFramesAndGivesNoModel) {
    port.setDevice([](auto, double) { return test::reply(0x15); });
    EXPECT_EQ(link.unlock(), std::nullopt);
    EXPECT_EQ(port.frames().size(), 3u);
}

TEST_F(CommandsTest, SilentPasswordStepWaitsThreeLongTimeouts) {
    const double start = clock.now();
    EXPECT_FALSE(link.unlock());
    const double took = clock.now() - start;
    EXPECT_GE(took, 3 * 5000.0);
    EXPECT_LT(took, 3 * 5000.0 + 20);
}

struct SectorFrameCase {
    int model;
    bool erase;
    int sector;
    Bytes frame;
    int sectorBase;
    friend void PrintTo(const SectorFrameCase& c, std::ostream* os) {
        *os << (c.erase ? "erase " : "blank check ") << c.sector << " on model " << c.model;
    }
};

class SectorFrameTest : public CommandsTest,
                        public ::testing::WithParamInterface<SectorFrameCase> {};

TEST_P(SectorFrameTest, FrameBytesAndSectorBase) {
    const SectorFrameCase& c = GetParam();
    // Erases name a sector of the model's external flash; blank checks an absolute sector.
    const int base = c.model == 0 ? 0 : protocol::sectorNumber(static_cast<Model>(c.model), 0);
    EXPECT_EQ(base, c.sectorBase);
    port.setDevice([](auto, double) { return test::reply(0x06); });
    const bool ok = c.erase ? link.erase(base + c.sector) == Answer::Accepted
                            : link.blankCheck(c.sector) == SectorState::Blank;
    EXPECT_TRUE(ok);
    ASSERT_EQ(port.frames().size(), 1u);
    EXPECT_EQ(port.frames()[0], c.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Models, SectorFrameTest,
    ::testing::Values(SectorFrameCase{2, true, 0, {0x1B, 0x75, 0x01, 0x0E, 0x04, 0xA3, 0x80}, 14},
                      SectorFrameCase{1, true, 0, {0x1B, 0x75, 0x01, 0x0A, 0x04, 0x9F, 0x80}, 10},
                      SectorFrameCase{3, true, 0, {0x1B, 0x75, 0x01, 0x0A, 0x04, 0x9F, 0x80}, 10},
                      SectorFrameCase{0, true, 0, {0x1B, 0x75, 0x01, 0x00, 0x04, 0x95, 0x80}, 0},
                      SectorFrameCase{
                          0, false, 10, {0x1B, 0x77, 0x01, 0x0A, 0x04, 0xA1, 0x80}, 0}));

TEST_F(CommandsTest, BlankCheckAndEraseTellSilenceFromRefusal) {
    port.setDevice([](auto, double) { return test::reply(0x06); });
    EXPECT_TRUE(link.probe());
    port.setDevice({});
    EXPECT_EQ(link.blankCheck(10), SectorState::Unknown);

    port.setDevice([](auto, double) { return test::reply(0x15); });
    EXPECT_EQ(link.blankCheck(10), SectorState::NotBlank);
    EXPECT_EQ(link.erase(0), Answer::Refused);
}

// Each exchange waits its own time-out; no command leaves one behind for the next.
TEST_F(CommandsTest, ASilentDeviceIsGivenEachCommandsOwnTimeout) {
    const DataRecord record{};
    const std::vector<std::pair<std::function<void()>, double>> rows = {
        {[&] { (void)link.probe(); }, 1000},
        {[&] { (void)link.unlock(); }, 3 * 5000},
        {[&] { (void)link.probe(); }, 1000},
        {[&] { (void)link.blankCheck(10); }, 5000},
        {[&] { (void)link.erase(10); }, 5000},
        {[&] { (void)link.program(record); }, 1000},
        {[&] { (void)link.probe(5000); }, 5000},
        {[&] { (void)link.program(record, 5000); }, 5000},
        {[&] { link.exitProgramming(250); }, 250},
        {[&] { link.exitProgramming(); }, 1000},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double start = clock.now();
        rows[i].first();
        EXPECT_GE(clock.now() - start, rows[i].second) << "row " << i;
        EXPECT_LT(clock.now() - start, rows[i].second + 20) << "row " << i;
    }
}

TEST_F(CommandsTest, SectorOutOfRangeRaisesOverflowBeforeSending) {
    for (int sector : {-1, 256}) EXPECT_THROW((void)link.blankCheck(sector), LinkError);
    try {
        (void)link.erase(protocol::sectorNumber(Model::M2, 242));  // 242 + 14 = 256
        FAIL();
    } catch (const LinkError& e) {
        EXPECT_EQ(e.fault().number, ErrorNumber::Overflow);
    }
    EXPECT_TRUE(port.frames().empty());
}

TEST_F(CommandsTest, ExitProgrammingSendsTheFixedSixBytes) {
    port.setDevice([](auto, double) { return test::reply(0x06); });
    EXPECT_TRUE(link.exitProgramming());
    ASSERT_EQ(port.frames().size(), 1u);
    EXPECT_EQ(port.frames()[0], (Bytes{0x1B, 0x7E, 0x00, 0x04, 0x9D, 0x80}));
}

}  // namespace
}  // namespace korvath::link
