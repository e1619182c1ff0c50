#include "ports/windows_port_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvath::ports::windows {
namespace {

TEST(WindowsPortName, NumberIsComOfThatNumberWithoutAnUpperBound) {
    EXPECT_EQ(comName(1), "COM1");
    EXPECT_EQ(comName(9), "COM9");
    EXPECT_EQ(comName(10), "COM10");
    EXPECT_EQ(comName(256), "COM256");
    EXPECT_EQ(comName(0), std::nullopt);
    EXPECT_EQ(comName(-3), std::nullopt);
}

// A bare number is the COM port of that number, never a place in a list; the range is the
// system's, and a number beyond it is refused rather than cut to fit.
TEST(WindowsPortName, NumberOpensThatComPortUpTo255) {
    const std::vector<std::pair<int, std::string>> cases = {{1, R"(\\.\COM1)"},
                                                            {9, R"(\\.\COM9)"},
                                                            {12, R"(\\.\COM12)"},
                                                            {255, R"(\\.\COM255)"},
                                                            {0, ""},
                                                            {256, ""},
                                                            {32767, ""},
                                                            {-1, ""}};
    for (const auto& [number, device] : cases) {
        const platform::Result<std::string> opened = portForNumber(number);
        if (!device.empty()) {
            EXPECT_EQ(opened ? *opened : opened.fault().text, device) << number;
            continue;
        }
        ASSERT_FALSE(opened) << number;
        EXPECT_EQ(opened.fault(),
                  (platform::Fault{platform::ErrorNumber::InvalidArgument,
                                   "There is no COM port " + std::to_string(number) +
                                       ": COM port numbers run from 1 to 255"}));
    }
}

TEST(WindowsPortName, ComNumberInAnyCaseAndUnderTheDevicePath) {
    const std::vector<std::pair<std::string, std::optional<int>>> cases = {
        {"COM3", 3},
        {"com3", 3},
        {"Com12", 12},
        {R"(\\.\COM10)", 10},
        {R"(\\.\com10)", 10},
        {"COM255", 255},
        // not a COM port: Windows would not open these as one
        {"COM0", std::nullopt},
        {"COM03", std::nullopt},
        {"COM", std::nullopt},
        {"COM3x", std::nullopt},
        {"COM 3", std::nullopt},
        {"COM-3", std::nullopt},
        {"LPT1", std::nullopt},
        {"XCOM3", std::nullopt},
        {"COM99999999999", std::nullopt},
        {R"(\\?\COM3)", std::nullopt},
        {"", std::nullopt}};
    for (const auto& [name, number] : cases) EXPECT_EQ(comNumber(name), number) << name;
}

TEST(WindowsPortName, DevicePathOpensComTenAndAboveAndComparesInOneCase) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"COM3", R"(\\.\COM3)"},
        {"com3", R"(\\.\COM3)"},
        {"COM10", R"(\\.\COM10)"},
        {"com12", R"(\\.\COM12)"},
        {R"(\\.\com12)", R"(\\.\COM12)"},
        {R"(\\.\COM12)", R"(\\.\COM12)"},
        {"cnca0", R"(\\.\CNCA0)"},
        {R"(\\.\CNCA0)", R"(\\.\CNCA0)"},
        // paths are no device names
        {R"(C:\ports\COM3)", R"(C:\ports\COM3)"},
        {R"(\\server\share\COM3)", R"(\\server\share\COM3)"},
        {"", ""}};
    for (const auto& [name, path] : cases) EXPECT_EQ(devicePath(name), path) << name;
}

}  // namespace
}  // namespace korvath::ports::windows
