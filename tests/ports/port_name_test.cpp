#include "ports/port_name.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace korvath::ports {
namespace {

using Kind = PortSpec::Kind;

struct NumberCase {
    std::string text;
    int number;
    friend void PrintTo(const NumberCase& c, std::ostream* os) {
        *os << '"' << c.text.substr(0, 24) << '"';
    }
};

class PortNumberText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(PortNumberText, ReadsTheNumberAtTheStart) {
    const PortSpec parsed = parsePortText(GetParam().text);
    EXPECT_EQ(parsed.kind, Kind::Number) << '"' << GetParam().text << '"';
    EXPECT_EQ(parsed.number, GetParam().number) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortNumberText,
    ::testing::Values(
        NumberCase{"1", 1}, NumberCase{"12", 12}, NumberCase{" 7", 7}, NumberCase{"\t7 ", 7},
        NumberCase{"12abc", 12}, NumberCase{"3 com", 3}, NumberCase{"007", 7},
        // halves go to the even neighbour, other fractions to the nearest
        NumberCase{"2.5", 2}, NumberCase{"3.5", 4}, NumberCase{"0.5", 0}, NumberCase{"2.51", 3},
        NumberCase{"2.49", 2}, NumberCase{".5", 0}, NumberCase{".6", 1}, NumberCase{"7.", 7},
        NumberCase{"1.5.2", 2}, NumberCase{"-1", -1}, NumberCase{"-2.5", -2}, NumberCase{"+4", 4},
        // blank text is port 0, which nothing opens
        NumberCase{"", 0}, NumberCase{"   ", 0},
        // absurd values are clamped, not overflowed
        NumberCase{"99999999999999999999", kMaxPortNumber}, NumberCase{"32767.5", kMaxPortNumber},
        NumberCase{"32768", kMaxPortNumber}, NumberCase{"-99999999999999999999", kMinPortNumber},
        NumberCase{std::string(400, '9'), kMaxPortNumber},
        NumberCase{"1" + std::string(400, '0') + ".5", kMaxPortNumber}));

struct NameCase {
    std::string text;
    std::string name;
    friend void PrintTo(const NameCase& c, std::ostream* os) {
        *os << '"' << c.text.substr(0, 24) << '"';
    }
};

class PortNameText : public ::testing::TestWithParam<NameCase> {};

TEST_P(PortNameText, TakesTheTrimmedTextAsItStands) {
    const PortSpec parsed = parsePortText(GetParam().text);
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
        const PortSpec parsed = parsePortText(c.text);
        EXPECT_EQ(parsed.kind, Kind::Simulated) << c.text;
        EXPECT_EQ(parsed.number, c.model) << c.text;
    }
}

TEST(PortSimText, RefusesUnknownModelsWithAMessage) {
    for (const char* text : {"sim:4", "sim:x", "sim:", "sim:0", "sim:12", "sim:-1"}) {
        const PortSpec parsed = parsePortText(text);
        EXPECT_EQ(parsed.kind, Kind::Invalid) << text;
        EXPECT_NE(parsed.error.find(text), std::string::npos) << parsed.error;
    }
}

}  // namespace
}  // namespace korvath::ports
