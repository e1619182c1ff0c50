#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "link/link.h"
#include "support/fake_port.h"

namespace korvath::link {
namespace {

using test::FakePort;
using test::VirtualClock;

struct ChecksumCase {
    std::vector<std::uint8_t> bytes;
    std::uint8_t low;
    std::uint8_t high;
    friend void PrintTo(const ChecksumCase& c, std::ostream* os) { *os << c.bytes.size() << " bytes"; }
};

class ChecksumTest : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumTest, SumsLeadingBytesWithHighBitForced) {
    VirtualClock clock;
    FakePort port(clock);
    Link link(port, clock);
    const ChecksumCase& c = GetParam();
    std::copy(c.bytes.begin(), c.bytes.end(), link.SendBuffer.begin());
    link.ComputeFrameChecksum(static_cast<int>(c.bytes.size()));
    EXPECT_EQ(link.FrameChecksum.low, c.low);
    EXPECT_EQ(link.FrameChecksum.high, c.high);
}

std::vector<std::uint8_t> programFrameOfFF() {
    std::vector<std::uint8_t> bytes(71, 0xFF);
    bytes[0] = 0x1B;
    bytes[1] = 0x74;
    bytes[2] = 0x43;
    bytes[3] = bytes[4] = bytes[5] = 0x00;
    bytes[70] = 0x04;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    KnownFrames, ChecksumTest,
    ::testing::Values(ChecksumCase{{0x1B, 0x7E, 0x00, 0x04}, 0x9D, 0x80},
                      ChecksumCase{{0x1B, 0x75, 0x01, 0x0A, 0x04}, 0x9F, 0x80},
                      ChecksumCase{{0x1B, 0x77, 0x01, 0x0E, 0x04}, 0xA5, 0x80},
                      ChecksumCase{programFrameOfFF(), 0x96, 0xC0},
                      ChecksumCase{std::vector<std::uint8_t>(101, 0xFF), 0x9B, 0xE4}));

TEST(ChecksumRange, BadCountsRaiseTypedErrorsAndKeepTheOldChecksum) {
    VirtualClock clock;
    FakePort port(clock);
    Link link(port, clock);
    link.SendBuffer[0] = 0x1B;
    link.ComputeFrameChecksum(1);
    const FrameChecksumPair before = link.FrameChecksum;

    try {
        link.ComputeFrameChecksum(0);
        FAIL() << "no error for N = 0";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.number(), 6);
        EXPECT_EQ(e.description(), "Overflow");
    }
    try {
        link.ComputeFrameChecksum(102);
        FAIL() << "no error for N = 102";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.number(), 9);
    }
    EXPECT_EQ(link.FrameChecksum.low, before.low);
    EXPECT_EQ(link.FrameChecksum.high, before.high);
}

}  // namespace
}  // namespace korvath::link
