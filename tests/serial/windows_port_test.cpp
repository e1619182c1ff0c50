// The Windows serial port against korvath-sim under Wine: the script wine_com_port.sh maps the
// simulator's pseudo-terminal to a COM port, registers it, and names it in KORVATH_TEST_COM.
// Without that name (a plain test run) there is nothing to talk to and the test is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "link/link.h"
#include "ports/system/port_list.h"
#include "ports/system/system_ports.h"
#include "serial/serial_port.h"
#include "support/fake_port.h"

namespace korvath::serial {
namespace {

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST(WindowsPort, TalksToTheSimulatorThroughAMappedComPort) {
    const char* com = std::getenv("KORVATH_TEST_COM");
    if (com == nullptr || *com == '\0') GTEST_SKIP() << "KORVATH_TEST_COM names no COM port";

    // Under Wine SetupAPI knows no port: the registry's names alone make the list.
    const auto listed = ports::detail::listPorts();
    EXPECT_TRUE(
        std::any_of(listed.begin(), listed.end(),
                    [&](const ports::detail::ListedPort& port) { return port.name == com; }))
        << "the listing lacks " << com;

    link::SteadyClock clock;
    platform::Result<ports::OpenedPort> opened = ports::SystemPorts().open(com, clock);
    ASSERT_TRUE(opened) << opened.fault().text;
    link::Port& port = *opened->port;
    link::Link link(port, clock);

    // Every probe is answered, and each wait ends with its byte, not with its time-out.
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(link.probe()) << "probe " << i;
        EXPECT_LT(msSince(start), 200.0) << "probe " << i;
    }

    // A silent line: the wait takes its time-out, never much less or more.
    for (const double ms : {1.5, 30.0}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(test::countOf(port.waitForBytes(0, ms)), 0);
        const double took = msSince(start);
        EXPECT_GE(took, ms - 0.05) << ms;
        EXPECT_LT(took, ms + 20) << ms;
    }
    port.close();
    EXPECT_FALSE(port.isOpen());

    const platform::Result<link::OpenedPort> missing = openSerialPort("\\\\.\\COM250", clock);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.fault(),
              (platform::Fault{platform::ErrorNumber::FileNotFound, "Port COM250 does not exist"}));
}

}  // namespace
}  // namespace korvath::serial
