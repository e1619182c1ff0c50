#include "ports/port_name.h"
#include "ports/usb_serial.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace korvath::ports {
namespace {

using Kind = ParsedPort::Kind;

struct NumberCase {
    std::string text;
    int number;
    friend void PrintTo(const NumberCase& c, std::ostream* os) {
        *os << '"' << c.text.substr(0, 24) << '"';
    }
};

class PortNumberText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(PortNumberText, ReadsAWholePositiveNumber) {
    const ParsedPort parsed = *parsePortText(GetParam().text);
    EXPECT_EQ(parsed.kind, Kind::Number) << '"' << GetParam().text << '"';
    EXPECT_EQ(parsed.number, GetParam().number) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(Cases, PortNumberText,
                         ::testing::Values(NumberCase{"1", 1}, NumberCase{"12", 12},
                                           NumberCase{" 7", 7}, NumberCase{"\t7 ", 7},
                                           NumberCase{"007", 7},
                                           NumberCase{"32767", kMaxPortNumber}));

// A text that is not a whole positive number is never rounded, cut or clamped into another
// port; the message quotes what was typed.
class RefusedPortText : public ::testing::TestWithParam<std::string> {};

TEST_P(RefusedPortText, IsRefusedQuotingTheText) {
    const platform::Result<ParsedPort> parsed = parsePortText(GetParam());
    ASSERT_FALSE(parsed) << '"' << GetParam() << '"';
    const std::string& error = parsed.fault().text;
    EXPECT_EQ(parsed.fault().number, platform::ErrorNumber::InvalidArgument);
    if (GetParam().find_first_not_of(" ") != std::string::npos) {
        EXPECT_NE(error.find('"' + GetParam() + '"'), std::string::npos) << error.substr(0, 80);
    } else {
        EXPECT_EQ(error.rfind("No port given", 0), 0U) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedPortText,
                         ::testing::Values("1e3", "1.5", "12abc", "-1", "+4", ".5", "7.", "3 com",
                                           "0", "000", "", "   ", "32768", "99999",
                                           std::string(400, '9'), "sim:4"));

struct NameCase {
    std::string text;
    std::string name;
    friend void PrintTo(const NameCase& c, std::ostream* os) {
        *os << '"' << c.text.substr(0, 24) << '"';
    }
};

class PortNameText : public ::testing::TestWithParam<NameCase> {};

TEST_P(PortNameText, TakesTheTrimmedTextAsItStands) {
    const ParsedPort parsed = *parsePortText(GetParam().text);
    EXPECT_EQ(parsed.kind, Kind::Name) << '"' << GetParam().text << '"';
    EXPECT_EQ(parsed.name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortNameText,
    ::testing::Values(NameCase{"ttyUSB0", "ttyUSB0"}, NameCase{"/dev/ttyUSB0", "/dev/ttyUSB0"},
                      NameCase{" COM3 ", "COM3"}, NameCase{"/dev/pts/5", "/dev/pts/5"},
                      NameCase{"./ttyS0", "./ttyS0"}, NameCase{"abc", "abc"}, NameCase{"-", "-"},
                      NameCase{".", "."}, NameCase{"simulator", "simulator"},
                      NameCase{"/dev/my port", "/dev/my port"}));

TEST(PortSimText, PicksTheSimulatedModel) {
    const struct {
        const char* text;
        int model;
    } cases[] = {{"sim", 1},   {"SIM", 1},   {" Sim ", 1}, {"sim:1", 1},
                 {"sim:2", 2}, {"SIM:3", 3}, {"sim: 2", 2}};
    for (const auto& c : cases) {
        const ParsedPort parsed = *parsePortText(c.text);
        EXPECT_EQ(parsed.kind, Kind::Simulated) << c.text;
        EXPECT_EQ(parsed.number, c.model) << c.text;
    }
}

TEST(PortUsbText, NamesTheSerialNumberOrIsRefused) {
    for (const char* text : {"usb:A10K2X9Q", "USB:A10K2X9Q", " usb: A10K2X9Q "}) {
        const ParsedPort parsed = *parsePortText(text);
        EXPECT_EQ(parsed.kind, Kind::UsbSerial) << text;
        EXPECT_EQ(parsed.name, "A10K2X9Q") << text;
    }
    for (const char* text : {"usb:", "usb:  "}) {
        const platform::Result<ParsedPort> parsed = parsePortText(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_NE(parsed.fault().text.find("usb:"), std::string::npos) << parsed.fault().text;
    }
}

TEST(PortWithSerial, PicksTheOneAdapterWithThatSerial) {
    const std::vector<PortChoice> listed = {
        {.text = "ttyUSB0", .description = "FT232R", .number = 1, .serialNumber = "A10K2X9Q"},
        {.text = "ttyUSB1", .description = "FT232R", .number = 2, .serialNumber = "B77"},
        {.text = "ttyUSB2", .description = "clone", .number = 3, .serialNumber = "0001"},
        {.text = "ttyUSB3", .description = "clone", .number = 4, .serialNumber = "0001"},
        {.text = "ttyS0", .description = "built in", .number = 5},
    };
    EXPECT_EQ(*portWithSerial(listed, "B77"), "ttyUSB1");
    const platform::Result<std::string> missing = portWithSerial(listed, "b77");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.fault().text.find("\"b77\""), std::string::npos) << missing.fault().text;
    EXPECT_EQ(missing.fault().number, platform::ErrorNumber::FileNotFound);
    const platform::Result<std::string> twice = portWithSerial(listed, "0001");
    ASSERT_FALSE(twice);
    EXPECT_NE(twice.fault().text.find("ttyUSB2"), std::string::npos) << twice.fault().text;
    EXPECT_NE(twice.fault().text.find("ttyUSB3"), std::string::npos) << twice.fault().text;
    EXPECT_FALSE(portWithSerial(listed, ""));
}

TEST(PortSimText, RefusesUnknownModelsWithAMessage) {
    for (const char* text : {"sim:4", "sim:x", "sim:", "sim:0", "sim:12", "sim:-1"}) {
        const platform::Result<ParsedPort> parsed = parsePortText(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_NE(parsed.fault().text.find(text), std::string::npos) << parsed.fault().text;
    }
}

}  // namespace
}  // namespace korvath::ports
