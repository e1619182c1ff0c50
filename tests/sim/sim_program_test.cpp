#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "frames.h"
#include "sim_program.h"

namespace korvath::sim::test {
namespace {

/// The client side of the pseudo-terminal, raw, as a serial port would be.
class Terminal {
  public:
    explicit Terminal(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Terminal() {
        if (fd_ >= 0) close(fd_);
    }
    [[nodiscard]] bool ok() const { return fd_ >= 0; }

    bool send(const Bytes& bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    /// Sends `bytes` and returns the first reply byte, as firstByte().
    int ask(const Bytes& bytes, int timeoutMs = 3000) {
        return send(bytes) ? firstByte(timeoutMs) : -2;
    }

    /// The first reply byte within `timeoutMs`; -1 when none, -2 when the line failed.
    int firstByte(int timeoutMs = 3000) {
        pollfd fd{fd_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0) return -1;
        std::uint8_t byte = 0;
        return read(fd_, &byte, 1) == 1 ? byte : -2;
    }

  private:
    int fd_;
};

TEST(SimProgram, AnswersAProbeAndKeepsServingAcrossReopens) {
    const std::filesystem::path dump = ::testing::TempDir() + "korvath_sim_program_dump.bin";
    std::filesystem::remove(dump);
    SimProgram sim({"--model", "2", "--dump", dump.string()});
    const std::string path = sim.readLine();
    ASSERT_FALSE(path.empty());

    for (int round = 0; round < 2; ++round) {
        Terminal terminal(path);
        ASSERT_TRUE(terminal.ok()) << path;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(terminal.send(probe()));
        EXPECT_EQ(terminal.firstByte(), 0x06) << "round " << round;
        // Two bytes at 38400 baud and the processing: the pty alone would take microseconds.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(700));
    }

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    ASSERT_TRUE(std::filesystem::exists(dump));
    EXPECT_EQ(std::filesystem::file_size(dump), 8u * 0x10000);
    std::filesystem::remove(dump);
}

TEST(SimProgram, EndsWhenItsInputCloses) {
    SimProgram sim({});
    ASSERT_FALSE(sim.readLine().empty());
    sim.closeInput();
    EXPECT_TRUE(sim.outputEnds());
    EXPECT_EQ(sim.wait(), 0);
}

TEST(SimProgram, UnplugClosesTheLineAndWritesTheDump) {
    const std::filesystem::path dump = ::testing::TempDir() + "korvath_sim_unplug_dump.bin";
    std::filesystem::remove(dump);
    SimProgram sim({"--unplug-after", "1", "--dump", dump.string()});
    const std::string path = sim.readLine();
    Terminal terminal(path);
    ASSERT_TRUE(terminal.ok()) << path;
    ASSERT_TRUE(terminal.send(password("KPL-WU")));
    ASSERT_EQ(terminal.firstByte(), 0x06);
    ASSERT_TRUE(terminal.send(program(0xE00000, record())));
    ASSERT_EQ(terminal.firstByte(), 0x06);
    terminal.send(probe());
    EXPECT_EQ(terminal.firstByte(), -2);  // hung up: the read fails
    EXPECT_TRUE(sim.outputEnds());
    EXPECT_EQ(sim.wait(), 0);
    ASSERT_TRUE(std::filesystem::exists(dump));
    std::FILE* file = std::fopen(dump.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fgetc(file), 0);  // the record that was answered is in the flash
    std::fclose(file);
    std::filesystem::remove(dump);
}

/// The whole file, or empty when it cannot be read.
Bytes fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(SimProgram, RecordRoundTripTakesTheLineTimeOfTheFrameAndItsAck) {
    SimProgram sim({"--program-ms", "5"});
    Terminal terminal(sim.readLine());
    ASSERT_TRUE(terminal.ok());
    ASSERT_EQ(terminal.ask(password("KPL-WU")), 0x06);
    using namespace std::chrono;
    for (std::uint8_t i = 0; i < 5; ++i) {
        const auto start = steady_clock::now();
        ASSERT_EQ(terminal.ask(program(0xE00000 + 64u * i, record(i))), 0x06);
        // 73 bytes in, 5 ms of programming, the ACK out: 10 bit times a byte at 38400 baud.
        const double ms = duration<double, std::milli>(steady_clock::now() - start).count();
        EXPECT_GE(ms, 74 * 10 * 1000.0 / 38400 + 5) << "record " << int(i);
        EXPECT_LT(ms, 74 * 10 * 1000.0 / 38400 + 5 + 50) << "record " << int(i);
    }
}

// An adapter's latency timer holds every reply until its next tick: replies arrive at whole
// multiples of T on the monotonic clock (the test's steady clock on Linux), whenever the
// request came; T = 0 hands them over at once.
TEST(SimProgram, UsbLatencyHandsRepliesOverOnlyAtTheTimersTicks) {
    const struct {
        double latencyMs;
        double slowestMedianMs;
    } rows[] = {{0, 5}, {16, 20}};
    using namespace std::chrono;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.latencyMs);
        SimProgram sim({"--no-pacing", "--usb-latency-ms", std::to_string(row.latencyMs)});
        Terminal terminal(sim.readLine());
        ASSERT_TRUE(terminal.ok());
        std::vector<double> phases;
        std::vector<double> rounds;
        for (int i = 0; i < 15; ++i) {
            // Requests at scattered points of the timer's period.
            std::this_thread::sleep_for(microseconds(1000 + 2300 * i % 7000));
            const auto start = steady_clock::now();
            ASSERT_EQ(terminal.ask(probe()), 0x06);
            const double at =
                duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
            rounds.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
            if (row.latencyMs > 0) phases.push_back(std::fmod(at, row.latencyMs));
        }
        std::sort(rounds.begin(), rounds.end());
        std::sort(phases.begin(), phases.end());
        // Medians, with room for a loaded machine that wakes anyone late now and then: replies
        // handed over at random moments would put the median phase near T / 2.
        EXPECT_LT(rounds[rounds.size() / 2], row.slowestMedianMs);
        if (row.latencyMs > 0) {
            EXPECT_LT(phases[phases.size() / 2], row.latencyMs / 4);
            EXPECT_GT(rounds.back(), row.latencyMs / 4) << "replies waited for no tick";
        }
    }
}

TEST(SimProgram, CountServesOnePortAndOneDumpPerController) {
    const std::string dump = ::testing::TempDir() + "korvath_sim_count.bin";
    SimProgram sim({"--count", "3", "--dump", dump});
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) paths.push_back(sim.readLine());
    ASSERT_NE(paths[0], paths[1]);
    ASSERT_NE(paths[1], paths[2]);
    {
        // All three open at once; each unlocks and programs only its own flash.
        std::vector<std::unique_ptr<Terminal>> terminals;
        for (const auto& path : paths) terminals.push_back(std::make_unique<Terminal>(path));
        for (std::uint8_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(terminals[i]->ok()) << paths[i];
            ASSERT_EQ(terminals[i]->ask(password("KPL-WU")), 0x06) << paths[i];
        }
        for (std::uint8_t i = 0; i < 3; ++i)
            EXPECT_EQ(terminals[i]->ask(program(0xE00000, record(0x10 * (i + 1)))), 0x06);
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    for (int i = 1; i <= 3; ++i) {
        const Bytes content = fileBytes(dump + "." + std::to_string(i));
        ASSERT_EQ(content.size(), 8u * 0x10000) << i;
        EXPECT_EQ(content[0], 0x10 * i);
        EXPECT_EQ(content[64], 0xFF);
        std::filesystem::remove(dump + "." + std::to_string(i));
    }
    EXPECT_FALSE(std::filesystem::exists(dump));
}

TEST(SimProgram, SuccessiveUnitsEachStartErasedAndLeaveTheirOwnDump) {
    const std::string dump = ::testing::TempDir() + "korvath_sim_units.bin";
    SimProgram sim({"--units", "3", "--unit-gap-ms", "300", "--dump", dump});
    Terminal terminal(sim.readLine());
    ASSERT_TRUE(terminal.ok());
    for (std::uint8_t unit = 1; unit <= 3; ++unit) {
        // The unit appears within the gap; probe as a station would until it answers.
        int reply = -1;
        for (int tries = 0; tries < 20 && reply != 0x06; ++tries)
            reply = terminal.ask(probe(), 100);
        ASSERT_EQ(reply, 0x06) << "unit " << int(unit);
        ASSERT_EQ(terminal.ask(password("KPL-WU")), 0x06);
        // The same address every time: a unit that kept the last one's flash would refuse it.
        EXPECT_EQ(terminal.ask(program(0xE00000, record(unit))), 0x06) << "unit " << int(unit);
        ASSERT_EQ(terminal.ask(exitFrame()), 0x06);
        EXPECT_EQ(terminal.ask(probe(), 150), -1) << "unit " << int(unit) << " is gone";
    }
    // After the last unit the port stays silent.
    EXPECT_EQ(terminal.ask(probe(), 600), -1);
    // The earlier units' dumps are written as the next unit arrives, the last one's at exit.
    EXPECT_EQ(fileBytes(dump + ".1").at(0), 1);
    EXPECT_EQ(fileBytes(dump + ".2").at(0), 2);
    sim.closeInput();
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(fileBytes(dump + ".3").at(0), 3);
    for (const char* suffix : {".1", ".2", ".3"}) std::filesystem::remove(dump + suffix);
}

TEST(SimProgram, RefusesBadOptions) {
    SimProgram sim({"--model", "4"});
    EXPECT_TRUE(sim.outputEnds());
    EXPECT_NE(sim.wait(), 0);
}

}  // namespace
}  // namespace korvath::sim::test
