#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

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

TEST(SimProgram, RefusesBadOptions) {
    SimProgram sim({"--model", "4"});
    EXPECT_TRUE(sim.outputEnds());
    EXPECT_NE(sim.wait(), 0);
}

}  // namespace
}  // namespace korvath::sim::test
