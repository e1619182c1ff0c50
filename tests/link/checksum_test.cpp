#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "link/frames.h"

namespace korvath::link {
namespace {

struct ChecksumCase {
    std::vector<std::uint8_t> bytes;
    std::uint8_t low;
    std::uint8_t high;
    friend void PrintTo(const ChecksumCase& c, std::ostream* os) {
        // The length and the command byte: two frames of one length differ by their command.
        *os << c.bytes.size() << " bytes, command " << std::hex << std::uppercase
            << int(c.bytes.size() > 1 ? c.bytes[1] : 0);
    }
};

class ChecksumTest : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumTest, SumsLeadingBytesWithHighBitForced) {
    const ChecksumCase& c = GetParam();
    const ChecksumPair checksum = frameChecksum(c.bytes);
    EXPECT_EQ(checksum.low, c.low);
    EXPECT_EQ(checksum.high, c.high);
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

INSTANTIATE_TEST_SUITE_P(KnownFrames, ChecksumTest,
                         ::testing::Values(ChecksumCase{{0x1B, 0x7E, 0x00, 0x04}, 0x9D, 0x80},
                                           ChecksumCase{{0x1B, 0x75, 0x01, 0x0A, 0x04}, 0x9F, 0x80},
                                           ChecksumCase{{0x1B, 0x77, 0x01, 0x0E, 0x04}, 0xA5, 0x80},
                                           ChecksumCase{programFrameOfFF(), 0x96, 0xC0},
                                           ChecksumCase{std::vector<std::uint8_t>(101, 0xFF), 0x9B,
                                                        0xE4}));

TEST(ChecksumRange, BadCountsRaiseTypedErrors) {
    try {
        (void)frameChecksum({});
        FAIL() << "no error for N = 0";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.fault().shown(), "6 - Overflow");
    }
    try {
        (void)frameChecksum(std::vector<std::uint8_t>(102, 0));
        FAIL() << "no error for N = 102";
    } catch (const LinkError& e) {
        EXPECT_EQ(e.fault().shown(), "9 - Subscript out of range");
    }
}

}  // namespace
}  // namespace korvath::link
