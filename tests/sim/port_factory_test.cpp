#include "sim/port_factory.h"

#include <gtest/gtest.h>

#include "frames.h"
#include "sim/sim_port.h"
#include "sim_program.h"
#include "support/virtual_clock.h"

namespace korvath::sim::test {
namespace {

TEST(PortFactory, SimTextsGiveASimulatedControllerOfThatModel) {
    korvath::test::VirtualClock clock;
    for (auto [text, model] : {std::pair{"sim", 1}, {"SIM:2", 2}, {" sim:3 ", 3}}) {
        auto opened = openPortByText(text, clock);
        ASSERT_TRUE(opened) << text << ": " << opened.error;
        auto* sim = dynamic_cast<SimPort*>(opened.port.get());
        ASSERT_NE(sim, nullptr) << text;
        EXPECT_EQ(sim->controller().options().model, model);
        EXPECT_TRUE(sim->isOpen());
    }
}

TEST(PortFactory, TextsThatOpenNothingSayWhy) {
    korvath::test::VirtualClock clock;
    for (const char* text : {"sim:4", "sim:", "/dev/korvath-no-such-port", "0"}) {
        auto opened = openPortByText(text, clock);
        EXPECT_FALSE(opened) << text;
        EXPECT_EQ(opened.port, nullptr);
        EXPECT_NE(opened.error, "") << text;
    }
}

TEST(PortFactory, ChoicesEndWithTheSimulatedControllers) {
    const auto choices = listPortChoices();
    ASSERT_GE(choices.size(), 3u);
    const auto* last = &choices[choices.size() - 3];
    EXPECT_EQ(last[0].text, "sim");
    EXPECT_EQ(last[0].description, "Simulated controller, model 1");
    EXPECT_EQ(last[1].text, "sim:2");
    EXPECT_EQ(last[2].text, "sim:3");
    EXPECT_EQ(last[2].description, "Simulated controller, model 3");
}

TEST(PortFactory, OpensAPseudoTerminalByPathAsARealPort) {
    SimProgram sim({"--model", "3"});
    const std::string path = sim.readLine();
    ASSERT_FALSE(path.empty());
    link::SteadyClock clock;
    auto opened = openPortByText(path, clock);
    ASSERT_TRUE(opened) << opened.error;
    EXPECT_EQ(dynamic_cast<SimPort*>(opened.port.get()), nullptr);
    ASSERT_TRUE(opened.port->write(probe()));
    EXPECT_EQ(opened.port->waitForBytes(0, 3000), 1);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(opened.port->readAll(reply));
    EXPECT_EQ(reply, Bytes{0x06});
    opened.port->close();
}

}  // namespace
}  // namespace korvath::sim::test
