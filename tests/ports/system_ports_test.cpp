#include "ports/system/system_ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "link/clock.h"
#include "ports/system/port_list.h"
#include "serial/pty_device.h"
#include "sim/sim_port.h"
#include "support/virtual_clock.h"

namespace korvath::ports {
namespace {

using Bytes = test::PtyDevice::Bytes;

TEST(SystemPorts, SimTextsGiveASimulatedControllerOfThatModel) {
    test::VirtualClock clock;
    SystemPorts ports;
    for (auto [text, model] : {std::pair{"sim", 1}, {"SIM:2", 2}, {" sim:3 ", 3}}) {
        OpenedPort opened = ports.open(text, clock);
        ASSERT_TRUE(opened) << text << ": " << opened.error;
        auto* sim = dynamic_cast<sim::SimPort*>(opened.port.get());
        ASSERT_NE(sim, nullptr) << text;
        EXPECT_EQ(sim->controller().options().model, model);
        EXPECT_TRUE(sim->isOpen());
    }
}

// Each says why, in words the command line prints after "cannot open port".
TEST(SystemPorts, TextsThatOpenNothingSayWhy) {
    test::VirtualClock clock;
    SystemPorts ports;
    for (const char* text : {"sim:4", "sim:", "/dev/korvath-no-such-port", "", "0", "-3", "32767",
                             "1e3", "1.5", "12abc", "99999"}) {
        OpenedPort opened = ports.open(text, clock);
        EXPECT_FALSE(opened) << text;
        EXPECT_EQ(opened.port, nullptr);
        EXPECT_NE(opened.error, "") << text;
    }
    EXPECT_EQ(ports.open("32767", clock).error.rfind("No serial port number 32767", 0), 0u);
}

// Number n is the n-th listed port, opened by its device path; any other number names the range.
TEST(SystemPorts, APortNumberIsItsPlaceInTheList) {
    const std::vector<detail::ListedPort> listed{{"ttyACM0", ""}, {"ttyUSB0", ""}};
    EXPECT_EQ(detail::portNameForNumber(2, listed).name, "/dev/ttyUSB0");
    for (int number : {0, 3}) {
        const detail::NumberedPort none = detail::portNameForNumber(number, listed);
        EXPECT_EQ(none.name, "");
        EXPECT_NE(none.error.find("lists 2 (1 to 2;"), std::string::npos) << none.error;
    }
    EXPECT_NE(detail::portNameForNumber(1, {}).error.find("lists no serial ports"),
              std::string::npos);
}

TEST(SystemPorts, ChoicesEndWithTheSimulatedControllers) {
    const auto choices = SystemPorts().listChoices();
    ASSERT_GE(choices.size(), 3u);
    const auto* last = &choices[choices.size() - 3];
    EXPECT_EQ(last[0].text, "sim");
    EXPECT_EQ(last[0].description, "Simulated controller, model 1");
    EXPECT_EQ(last[1].text, "sim:2");
    EXPECT_EQ(last[2].text, "sim:3");
    EXPECT_EQ(last[2].description, "Simulated controller, model 3");
}

TEST(SystemPorts, OpensAPseudoTerminalByPathAsARealPort) {
    test::PtyDevice device;
    link::SteadyClock clock;
    OpenedPort opened = SystemPorts().open(device.path(), clock);
    ASSERT_TRUE(opened) << opened.error;
    EXPECT_EQ(dynamic_cast<sim::SimPort*>(opened.port.get()), nullptr);
    device.start([](const Bytes& received) { return Bytes{received.back()}; });
    const Bytes sent{0x90};
    ASSERT_TRUE(opened.port->write(sent));
    EXPECT_EQ(opened.port->waitForBytes(0, 3000), 1);
    Bytes reply;
    ASSERT_TRUE(opened.port->readAll(reply));
    EXPECT_EQ(reply, sent);
    opened.port->close();
}

// The lock is taken on the device itself: a second name for a busy port (a symbolic link, as
// /dev/serial/by-id gives) is refused, and the message names the device.
TEST(SystemPorts, ABusyPortIsRefusedUnderASymbolicLinkToo) {
    test::PtyDevice device;
    link::SteadyClock clock;
    SystemPorts ports;
    OpenedPort first = ports.open(device.path(), clock);
    ASSERT_TRUE(first) << first.error;
    const std::filesystem::path link = std::filesystem::temp_directory_path() /
                                       ("korvath-port-link-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device.path(), link);
    OpenedPort second = ports.open(link.string(), clock);
    EXPECT_FALSE(second);
    EXPECT_NE(second.error.find(device.path()), std::string::npos) << second.error;
    first.port->close();
    OpenedPort afterClose = ports.open(link.string(), clock);
    EXPECT_TRUE(afterClose) << afterClose.error;
    if (afterClose) afterClose.port->close();
    std::filesystem::remove(link);
}

TEST(SystemPorts, AMissingDevicePointsAtThePortList) {
    test::VirtualClock clock;
    const std::string error = SystemPorts().open("ttyKorvathNone9", clock).error;
    EXPECT_EQ(error.rfind("Port /dev/ttyKorvathNone9 does not exist", 0), 0U) << error;
    EXPECT_NE(error.find("--list-ports"), std::string::npos) << error;
}

}  // namespace
}  // namespace korvath::ports
