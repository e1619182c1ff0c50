#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "image/image_files.h"
#include "image/record.h"
#include "link/link.h"
#include "support/fake_port.h"

namespace korvath::image {
namespace {

using test::Bytes;

// Made by srec_cat from "Korvath" repeated: an outside witness for the record checksum.
const std::string kSrecCatLine =
    "S244E000004B6F72766174684B6F72766174684B6F72766174684B6F72766174684B6F72766174684B6F7276"
    "6174684B6F72766174684B6F72766174684B6F72766174684BB9";

std::string lastRecordCounting() {
    std::vector<std::uint8_t> data(64);
    for (std::size_t i = 0; i < 64; ++i) data[i] = static_cast<std::uint8_t>(i);
    return test::dataLine(0xE7FFC0, data);
}

TEST(TestImages, BuildRecordsAsSrecCatDoes) {
    const std::string text = "KorvathKorvathKorvathKorvathKorvathKorvathKorvathKorvathKorvathK";
    EXPECT_EQ(test::dataLine(0xE00000, std::vector<std::uint8_t>(text.begin(), text.end())),
              kSrecCatLine);
}

struct CheckCase {
    const char* name;
    std::string line;
    bool expected;
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }
};

class CheckRecordCases : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckRecordCases, AcceptOnlyWellFormedDataRecords) {
    const std::string before = GetParam().line;
    EXPECT_EQ(checkRecord(GetParam().line), GetParam().expected);
    EXPECT_EQ(GetParam().line, before);
}

std::string with(std::string line, std::size_t index, char c) {
    line[index] = c;
    return line;
}
std::string lowerHex(std::string line) {
    for (std::size_t i = 1; i < line.size(); ++i)
        line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
    return line;
}

INSTANTIATE_TEST_SUITE_P(
    All, CheckRecordCases,
    ::testing::Values(CheckCase{"SrecCatLine", kSrecCatLine, true},
                      CheckCase{"LowerCaseHexDigits", lowerHex(kSrecCatLine), true},
                      CheckCase{"ChecksumDigitChanged", with(kSrecCatLine, 139, 'A'), false},
                      CheckCase{"DataDigitChanged", with(kSrecCatLine, 20, '0'), false},
                      CheckCase{"NonHexDataDigit", with(kSrecCatLine, 20, 'G'), false},
                      CheckCase{"BlankInData", with(kSrecCatLine, 20, ' '), false},
                      CheckCase{"LowerCaseRecordType", with(kSrecCatLine, 0, 's'), false},
                      CheckCase{"ChecksumMissing", kSrecCatLine.substr(0, 138), false},
                      CheckCase{"OneShort", kSrecCatLine.substr(0, 139), false},
                      CheckCase{"OneLong", kSrecCatLine + "0", false},
                      CheckCase{"AddressOnly", "S244E7FFC0", false},
                      CheckCase{"OtherByteCount", with(with(kSrecCatLine, 2, '4'), 3, '5'), false},
                      CheckCase{"Empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct HexCase {
    std::string line;
    std::size_t position;
    std::uint8_t expected;
};

TEST(hexField, ReadsLeadingHexDigitsOfItsTwoCharacters) {
    // A non-hex character ends a field just as the end of the line does.
    const std::vector<HexCase> cases = {{"4A", 1, 0x4A}, {"ff", 1, 0xFF},   {"4", 1, 0x04},
                                        {"4G", 1, 0x04}, {"G4", 1, 0x00},   {" 4", 1, 0x00},
                                        {"4A", 3, 0x00}, {"x4A7", 2, 0x4A}, {"4A", 0, 0x00}};
    for (const auto& c : cases)
        EXPECT_EQ(hexField(c.line, c.position), c.expected) << c.line << " at " << c.position;
}

class ProgramRecordTest : public ::testing::Test {
  protected:
    test::VirtualClock clock;
    test::FakePort port{clock, [](auto, double) { return test::reply(0x06); }};
    link::Link link{port, clock};

    Bytes sent(std::string_view line) {
        port.clearFrames();
        EXPECT_EQ(link.program(dataRecord(line)), link::Answer::Accepted);
        EXPECT_EQ(port.frames().size(), 1u);
        return port.frames().empty() ? Bytes{} : port.frames().back();
    }
};

Bytes withChecksum(Bytes frame) {
    unsigned sum = 0;
    for (std::uint8_t b : frame) sum += b;
    frame.push_back(static_cast<std::uint8_t>(sum % 256));
    frame.push_back(static_cast<std::uint8_t>((sum / 256) | 0x80));
    return frame;
}

TEST_F(ProgramRecordTest, SendsTheAddressLowByteFirstAndTheDataSwappedInPairs) {
    Bytes expected = {0x1B, 0x74, 0x43, 0xC0, 0xFF, 0xE7};
    for (std::uint8_t k = 0; k < 32; ++k) {
        expected.push_back(static_cast<std::uint8_t>(2 * k + 1));
        expected.push_back(static_cast<std::uint8_t>(2 * k));
    }
    expected.push_back(0x04);
    expected = withChecksum(expected);
    ASSERT_EQ(expected.size(), 73u);
    EXPECT_EQ(sent(lastRecordCounting()), expected);

    std::string moved = lastRecordCounting();
    moved[5] = '8';
    expected[5] = 0xE8;
    EXPECT_EQ(sent(moved), withChecksum(Bytes(expected.begin(), expected.begin() + 71)));
}

TEST_F(ProgramRecordTest, IgnoresTheLinesChecksumCharacters) {
    const Bytes frame = sent(lastRecordCounting());
    EXPECT_EQ(sent(with(lastRecordCounting(), 139, 'Z')), frame);
    EXPECT_EQ(sent(lastRecordCounting().substr(0, 138) + "FF"), frame);
}

TEST_F(ProgramRecordTest, ShortLinesTakeTheClosingFsAndZerosBeyondTheEnd) {
    const Bytes noChecksum = sent(lastRecordCounting().substr(0, 138));
    EXPECT_EQ(noChecksum[68], 0xFF);  // data byte 63, sent first of its pair
    EXPECT_EQ(noChecksum[69], 62);

    const Bytes addressOnly = sent("S244E7FFC0");
    EXPECT_EQ(Bytes(addressOnly.begin() + 3, addressOnly.begin() + 6), (Bytes{0xC0, 0xFF, 0xE7}));
    EXPECT_EQ(Bytes(addressOnly.begin() + 6, addressOnly.begin() + 70), Bytes(64, 0));
    EXPECT_EQ(addressOnly, withChecksum(Bytes(addressOnly.begin(), addressOnly.begin() + 71)));

    EXPECT_EQ(dataRecord("S"), link::DataRecord{});
}

TEST_F(ProgramRecordTest, NonHexFieldsGiveTheirLeadingDigits) {
    const Bytes frame = sent(with(with(lastRecordCounting(), 63, 'G'), 16, 'G'));
    EXPECT_EQ(frame[33], 0x01);  // data byte 26, "1A" made "1G"
    EXPECT_EQ(frame[8], 0x00);   // data byte 3, "03" made "G3"
}

TEST_F(ProgramRecordTest, TrustsOnlyAnAckThatArrivedInTime) {
    const link::DataRecord record = dataRecord(lastRecordCounting());
    port.setDevice([](auto, double) { return test::reply(0x15); });
    EXPECT_EQ(link.program(record), link::Answer::Refused);

    port.setDevice({});
    EXPECT_EQ(link.program(record), link::Answer::NoAnswer);

    port.setDevice([](auto, double) { return test::reply(0x06); });
    port.close();
    EXPECT_EQ(link.program(record), link::Answer::NoAnswer);
}

}  // namespace
}  // namespace korvath::image
