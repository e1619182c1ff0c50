#include "ports/system/system_ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "link/clock.h"
#include "ports/system/port_list.h"
#include "serial/pty_device.h"
#include "serial/serial_port.h"
#include "sim/sim_port.h"
#include "support/fake_port.h"
#include "support/virtual_clock.h"

namespace korvath::ports {
namespace {

using Bytes = test::PtyDevice::Bytes;

TEST(SystemPorts, SimTextsGiveASimulatedControllerOfThatModel) {
    test::VirtualClock clock;
    SystemPorts ports;
    for (auto [text, model] : {std::pair{"sim", 1}, {"SIM:2", 2}, {" sim:3 ", 3}}) {
        platform::Result<OpenedPort> opened = ports.open(text, clock);
        ASSERT_TRUE(opened) << text << ": " << opened.fault().text;
        auto* sim = dynamic_cast<sim::SimPort*>(opened->port.get());
        ASSERT_NE(sim, nullptr) << text;
        EXPECT_EQ(sim->controller().options().model, model);
        EXPECT_TRUE(sim->isOpen());
    }
}

// Each says why, in words the command line prints after "cannot open port": a text that names
// no port is a wrong argument, a port that is not there is not found.
TEST(SystemPorts, TextsThatOpenNothingSayWhy) {
    using platform::ErrorNumber;
    test::VirtualClock clock;
    SystemPorts ports;
    for (const char* text : {"sim:4", "sim:", "/dev/korvath-no-such-port", "", "0", "-3", "32767",
                             "1e3", "1.5", "12abc", "99999"}) {
        const platform::Result<OpenedPort> opened = ports.open(text, clock);
        ASSERT_FALSE(opened) << text;
        EXPECT_NE(opened.fault().text, "") << text;
        const bool missing = text[0] == '/' || std::string(text) == "32767";
        EXPECT_EQ(opened.fault().number,
                  missing ? ErrorNumber::FileNotFound : ErrorNumber::InvalidArgument)
            << text;
    }
    EXPECT_EQ(ports.open("32767", clock).fault().text.rfind("No serial port number 32767", 0), 0u);
}

// Number n is the n-th listed port, opened by its device path; any other number names the range.
TEST(SystemPorts, APortNumberIsItsPlaceInTheList) {
    const std::vector<detail::ListedPort> listed{{"ttyACM0", ""}, {"ttyUSB0", ""}};
    EXPECT_EQ(*detail::portNameForNumber(2, listed), "/dev/ttyUSB0");
    for (int number : {0, 3}) {
        const platform::Result<std::string> none = detail::portNameForNumber(number, listed);
        ASSERT_FALSE(none);
        EXPECT_NE(none.fault().text.find("lists 2 (1 to 2)"), std::string::npos)
            << none.fault().text;
    }
    EXPECT_NE(detail::portNameForNumber(1, {}).fault().text.find("lists no serial ports"),
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
    platform::Result<OpenedPort> opened = SystemPorts().open(device.path(), clock);
    ASSERT_TRUE(opened) << opened.fault().text;
    link::Port& port = *opened->port;
    EXPECT_EQ(dynamic_cast<sim::SimPort*>(&port), nullptr);
    device.start([](const Bytes& received) { return Bytes{received.back()}; });
    const Bytes sent{0x90};
    ASSERT_TRUE(port.write(sent));
    EXPECT_EQ(test::countOf(port.waitForBytes(0, 3000)), 1);
    Bytes reply;
    ASSERT_TRUE(port.readAll(reply));
    EXPECT_EQ(reply, sent);
    port.close();
}

// The lock is taken on the device itself: a second name for a busy port (a symbolic link, as
// /dev/serial/by-id gives) is refused, and the message names the device.
TEST(SystemPorts, ABusyPortIsRefusedUnderASymbolicLinkToo) {
    test::PtyDevice device;
    link::SteadyClock clock;
    SystemPorts ports;
    platform::Result<OpenedPort> first = ports.open(device.path(), clock);
    ASSERT_TRUE(first) << first.fault().text;
    const std::filesystem::path link = std::filesystem::temp_directory_path() /
                                       ("korvath-port-link-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device.path(), link);
    const platform::Result<OpenedPort> second = ports.open(link.string(), clock);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.fault(), (platform::Fault{platform::ErrorNumber::PermissionDenied,
                                               serial::busyMessage(device.path())}));
    first->port->close();
    platform::Result<OpenedPort> afterClose = ports.open(link.string(), clock);
    ASSERT_TRUE(afterClose) << afterClose.fault().text;
    afterClose->port->close();
    std::filesystem::remove(link);
}

TEST(SystemPorts, AMissingDevicePointsAtThePortList) {
    test::VirtualClock clock;
    const std::string error = SystemPorts().open("ttyKorvathNone9", clock).fault().text;
    EXPECT_EQ(error.rfind("Port /dev/ttyKorvathNone9 does not exist", 0), 0U) << error;
    EXPECT_NE(error.find("--list-ports"), std::string::npos) << error;
    // The window's user has no terminal: the same reason points at the port box's list.
    const std::string shown =
        SystemPorts(SystemPorts::kWindowListAdvice).open("ttyKorvathNone9", clock).fault().text;
    EXPECT_EQ(shown,
              "Port /dev/ttyKorvathNone9 does not exist; pick one of the ports in the port "
              "box's list");
    EXPECT_EQ(SystemPorts(SystemPorts::kWindowListAdvice)
                  .open("99", clock)
                  .fault()
                  .text.find("korvath-cli"),
              std::string::npos);

    // A port the system does not have names those it has.
    const platform::Fault missing{platform::ErrorNumber::FileNotFound, "Port COM9 does not exist"};
    EXPECT_EQ(detail::withListedPorts(missing, {{"COM1", ""}, {"COM5", "USB Serial Port"}}).text,
              "Port COM9 does not exist: the system lists COM1, COM5");
    EXPECT_EQ(detail::withListedPorts(missing, {}).text,
              "Port COM9 does not exist: the system lists no serial ports");
}

// A slow adapter is named with its timer and told how to lower it, for now and for good.
TEST(SystemPorts, ASlowAdapterIsToldHowToLowerItsTimer) {
    const std::string advice = slowAdapterAdvice({"/dev/ttyKV0", 16, "Test Adapter"});
    for (const char* part : {"The USB adapter \"Test Adapter\" on /dev/ttyKV0", "every 16 ms",
                             "/sys/bus/usb-serial/devices/ttyKV0/latency_timer", "udev rule"}) {
        EXPECT_NE(advice.find(part), std::string::npos) << part << " in: " << advice;
    }
    const std::string unnamed = slowAdapterAdvice({"/dev/ttyUSB3", 2, ""});
    EXPECT_EQ(unnamed.rfind("The USB adapter on /dev/ttyUSB3 ", 0), 0U) << unnamed;
}

}  // namespace
}  // namespace korvath::ports
