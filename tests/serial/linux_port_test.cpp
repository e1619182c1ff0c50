#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "link/link.h"
#include "serial/pty_device.h"
#include "serial/serial_port.h"
#include "support/fake_port.h"
#include "support/recording_sink.h"

namespace korvath::serial {
namespace {

using namespace link;

using test::PtyDevice;
using test::RecordingSink;
using Bytes = PtyDevice::Bytes;

/// Answers every probe byte with an ACK.
Bytes ackProbes(const Bytes& received) {
    return received.back() == protocol::kProbe ? Bytes{protocol::kAck} : Bytes{};
}

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

/// Opens `path` or fails the test; never null.
std::unique_ptr<Port> openOrFail(const std::string& path, Clock& clock) {
    platform::Result<OpenedPort> opened = openSerialPort(path, clock);
    if (!opened) {
        ADD_FAILURE() << opened.fault().text;
        return std::make_unique<ClosedPort>();
    }
    EXPECT_FALSE(opened->slowAdapter) << "a pseudo-terminal has no latency timer";
    return std::move(opened->port);
}

class LinuxPortTest : public ::testing::Test {
  protected:
    ExchangeResult probe() { return link.exchangeFrame(Bytes{protocol::kProbe}); }

    PtyDevice device;
    SteadyClock clock;
    std::unique_ptr<Port> opened = openOrFail(device.path(), clock);
    Port& port = *opened;
    RecordingSink sink;
    Link link{port, clock, &sink};
};

using Status = ExchangeResult::Status;

TEST_F(LinuxPortTest, OpensRawAt38400WithoutFlowControl) {
    EXPECT_TRUE(port.isOpen());
    const int fd = ::open(device.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(::tcgetattr(fd, &settings), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetispeed(&settings), B38400);
    EXPECT_EQ(::cfgetospeed(&settings), B38400);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST_F(LinuxPortTest, ProbeGetsTheAck) {
    device.start(ackProbes);
    const ExchangeResult result = probe();
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{protocol::kAck});
    EXPECT_EQ(device.received(), Bytes{protocol::kProbe});
    EXPECT_TRUE(sink.reports.empty());
}

TEST_F(LinuxPortTest, SilentDeviceTimesOutAfterOneSecond) {
    device.start({});
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMs();
    const ExchangeResult result = probe();
    const double took = msSince(start);
    const double cpu = threadCpuMs() - cpuStart;
    EXPECT_EQ(result.status, Status::TimedOut);
    EXPECT_TRUE(result.reply.empty());
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 1300.0);
    // A wait that polls instead of blocking would burn the whole second.
    EXPECT_LT(cpu, 300.0);
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_TRUE(port.isOpen());
}

TEST_F(LinuxPortTest, BytesWaitingBeforeTheSendNeverReachTheReply) {
    // Some stale bytes sit in the driver, some already in the port's own buffer. A
    // pseudo-terminal hands bytes to the reading side a moment after they were sent; bytes
    // still on their way when the discard looks are indistinguishable from a reply.
    device.send({0x15, 0x15, 0x15});
    ASSERT_EQ(test::countOf(port.waitForBytes(2, 500)), 3);
    device.send({0x15, 0x15});
    ::usleep(20000);
    device.start(ackProbes);
    const ExchangeResult result = probe();
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{protocol::kAck});
}

TEST_F(LinuxPortTest, OddTimeOutsNeitherBlockNorOverflow) {
    device.send({0x06});
    EXPECT_EQ(test::countOf(port.waitForBytes(0, 1e300)), 1);
    EXPECT_EQ(test::countOf(port.waitForBytes(1, -5)), 1);
    EXPECT_EQ(test::countOf(port.waitForBytes(1, std::numeric_limits<double>::quiet_NaN())), 1);
}

TEST_F(LinuxPortTest, FrameAndReplyCrossTheLineUnchanged) {
    // Line-discipline bytes (CR, LF, XON, XOFF, EOF, interrupt, DEL) must pass untouched.
    Bytes frame(protocol::kProgramFrameLength);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 37 + 1);
    const Bytes control = {0x00, 0x03, 0x04, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x1C, 0x7F, 0xFF};
    std::copy(control.begin(), control.end(), frame.begin() + 20);
    const Bytes answer = {0x0D, 0x0A, 0x11, 0x13, 0x04, 0x00, 0xFF, 0x06};
    // The responder runs on the device's thread: it holds copies, since the line's own ordering
    // (reply read, then the test ends) is not a synchronisation the thread checker can see.
    device.start([length = frame.size(), answer](const Bytes& received) {
        return received.size() == length ? answer : Bytes{};
    });

    const ExchangeResult result = link.exchangeFrame(frame);
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(device.received(), frame);
    EXPECT_EQ(result.reply, answer);
}

TEST_F(LinuxPortTest, DeviceGoneIsReportedOnceAndClosesThePort) {
    const struct {
        const char* when;
        bool duringTheWait;
    } cases[] = {{"before the send", false}, {"during the wait", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        PtyDevice other;
        const std::unique_ptr<Port> otherPort = openOrFail(other.path(), clock);
        RecordingSink reports;
        Link otherLink{*otherPort, clock, &reports};
        if (c.duringTheWait) {
            other.start({}, 1);
        } else {
            other.hangUp();
        }

        const Bytes probe = {protocol::kProbe};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(otherLink.exchangeFrame(probe).status, Status::Failed);
        EXPECT_LT(msSince(start), 500.0);
        ASSERT_EQ(reports.reports.size(), 1u);
        EXPECT_EQ(reports.reports[0].number, ErrorNumber::DeviceIo);
        EXPECT_EQ(reports.reports[0].text, lostMessage(other.path()));
        EXPECT_FALSE(otherPort->isOpen());

        start = std::chrono::steady_clock::now();
        EXPECT_EQ(otherLink.exchangeFrame(probe).status, Status::NotSent);
        EXPECT_LT(msSince(start), 50.0);
        EXPECT_EQ(reports.reports.size(), 1u);
    }
}

TEST_F(LinuxPortTest, WaitNoticesTheDeviceGoneAndTheReasonStays) {
    device.start({}, 1);
    const std::uint8_t byte = protocol::kProbe;
    ASSERT_TRUE(port.write({&byte, 1}));
    const auto start = std::chrono::steady_clock::now();
    const platform::Result<int> waited = port.waitForBytes(0, 1000);
    EXPECT_LT(msSince(start), 500.0);
    EXPECT_FALSE(port.isOpen());
    ASSERT_FALSE(waited);
    const platform::Fault error = waited.fault();
    EXPECT_EQ(error.number, ErrorNumber::DeviceIo);
    EXPECT_EQ(error.text,
              "Port " + device.path() + " was lost: the adapter was unplugged or reset");

    // Later refusals keep explaining why, until the next open.
    const platform::Result<void> written = port.write({&byte, 1});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.fault(), error);
}

// The kernel's hold on the port refuses every second opener, in this process or another, under
// any name, and goes with the holder however it ends: there is no lock file to leave behind.
TEST_F(LinuxPortTest, ABusyPortIsRefusedAndFreedWithItsHolder) {
    const std::filesystem::path link =
        std::filesystem::temp_directory_path() / ("korvath-serial-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device.path(), link);
    EXPECT_EQ(busyMessage(device.path()),
              "Port " + device.path() + " is busy: another program has it open");
    const auto busy = [](const std::string& name) {
        return platform::Fault{ErrorNumber::PermissionDenied, busyMessage(name)};
    };
    for (const std::string& name : {device.path(), link.string()}) {
        const platform::Result<OpenedPort> second = openSerialPort(name, clock);
        ASSERT_FALSE(second) << name;
        EXPECT_EQ(second.fault(), busy(name));
    }
    port.close();

    // Another program holds it with flock and is killed holding it: the port is free at once.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        // Only async-signal-safe calls in the child of a threaded test.
        const int fd = ::open(device.path().c_str(), O_RDWR | O_NOCTTY);
        const char byte = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        [[maybe_unused]] const ssize_t written = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    const platform::Result<OpenedPort> whileHeld = openSerialPort(link.string(), clock);
    ASSERT_FALSE(whileHeld);
    EXPECT_EQ(whileHeld.fault(), busy(link.string()));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    platform::Result<OpenedPort> afterKill = openSerialPort(link.string(), clock);
    ASSERT_TRUE(afterKill) << afterKill.fault().text;
    std::filesystem::remove(link);

    device.start(ackProbes);
    Link again{*afterKill->port, clock, &sink};
    EXPECT_TRUE(again.probe());
}

TEST_F(LinuxPortTest, DiscardDropsOnlyWhatWasWaiting) {
    device.send({0x15, 0x15});
    ASSERT_EQ(test::countOf(port.waitForBytes(1, 500)), 2);
    device.send({0x15});
    ::usleep(20000);
    EXPECT_TRUE(port.discardInput());
    EXPECT_EQ(test::countOf(port.bytesWaiting()), 0);
    EXPECT_EQ(test::countOf(port.waitForBytes(0, 30)), 0);
    device.send({0x15});
    ::usleep(20000);
    EXPECT_TRUE(port.discardInput());
    EXPECT_EQ(test::countOf(port.waitForBytes(0, 30)), 0)
        << "a wait that found the driver empty is long past";
    device.send({0x06});
    EXPECT_EQ(test::countOf(port.waitForBytes(0, 500)), 1);
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(port.readAll(out));
    EXPECT_EQ(out, Bytes{0x06});
    EXPECT_TRUE(port.discardInput());
    EXPECT_TRUE(port.isOpen());
}

// The quiet gap that ends every reply is 2 ms: a wait that rounds up to whole milliseconds or
// oversleeps costs that on every record.
TEST_F(LinuxPortTest, WaitsEndWithinAFractionOfAMillisecond) {
    device.start({});
    for (const double ms : {0.3, 2.01, 5.5}) {
        std::vector<double> late;
        for (int i = 0; i < 15; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(test::countOf(port.waitForBytes(0, ms)), 0);
            late.push_back(msSince(start) - ms);
        }
        std::sort(late.begin(), late.end());
        EXPECT_GE(late.front(), 0.0) << ms;
        // The median, so that the load of a shared machine does not decide it.
        EXPECT_LT(late[late.size() / 2], 0.5) << ms;
    }
}

// A plain file, and the master side of a pseudo-terminal (a terminal, but no line), are no
// serial ports. The pseudo-terminal in use is held by flock alone: no exclusive flag is left
// on it for the next run to trip over should this one be killed.
TEST_F(LinuxPortTest, OpenOfANonTerminalIsRefused) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("korvath-not-a-port-" + std::to_string(::getpid()));
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    for (const std::string& name : {file.string(), std::string("/dev/ptmx")}) {
        const platform::Result<OpenedPort> opened = openSerialPort(name, clock);
        ASSERT_FALSE(opened) << name;
        EXPECT_EQ(opened.fault().text, name + " is not a serial port");
    }
    std::filesystem::remove(file);

    const int other = ::open(device.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    int exclusive = 1;
    ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(other);
}

// A slow adapter's timer and product are read from sysfs; a tree of our own stands in.
TEST(SlowAdapter, NamesASlowTimerOncePerDevice) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("korvath-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const auto adapter = [&](const std::string& name, const std::string& timer) {
        const fs::path port = root / "usb" / ("1-" + name) / "1-1:1.0" / name;
        fs::create_directories(port);
        if (!timer.empty()) std::ofstream(port / "latency_timer") << timer << "\n";
        std::ofstream(root / "usb" / ("1-" + name) / "product") << "Test Adapter\n";
        fs::create_directories(root / "class" / name);
        fs::create_directory_symlink(port, root / "class" / name / "device");
    };
    adapter("ttyKV0", "16");
    adapter("ttyKV1", "1");
    adapter("ttyKV2", "");
    const std::optional<SlowAdapter> slow = detail::slowAdapter("/dev/ttyKV0", root / "class");
    ASSERT_TRUE(slow);
    EXPECT_EQ(slow->port, "/dev/ttyKV0");
    EXPECT_EQ(slow->latencyMs, 16);
    EXPECT_EQ(slow->adapter, "Test Adapter");
    EXPECT_FALSE(detail::slowAdapter("/dev/ttyKV0", root / "class")) << "said twice";
    EXPECT_FALSE(detail::slowAdapter("/dev/ttyKV1", root / "class")) << "1 ms is low";
    EXPECT_FALSE(detail::slowAdapter("/dev/ttyKV2", root / "class")) << "no timer";
    EXPECT_FALSE(detail::slowAdapter("/dev/ttyKV9", root / "class")) << "no such device";
    fs::remove_all(root);
}

TEST(LinuxPortOpen, RefusesWhatIsNoSerialPortWithAMessage) {
    for (const char* text : {"/nonexistent/ttyKORVATH0", "ttyKORVATH0", "sim", ""}) {
        SteadyClock clock;
        const platform::Result<OpenedPort> opened = openSerialPort(text, clock);
        ASSERT_FALSE(opened) << text;
        EXPECT_EQ(opened.fault().number,
                  *text != '\0' ? ErrorNumber::FileNotFound : ErrorNumber::InvalidArgument)
            << text;
        EXPECT_FALSE(opened.fault().text.empty()) << text;
    }
}

TEST_F(LinuxPortTest, ClosedPortRefusesEveryOperation) {
    port.close();
    std::vector<std::uint8_t> out{1, 2};
    const std::uint8_t byte = protocol::kProbe;
    EXPECT_FALSE(port.write({&byte, 1}));
    EXPECT_EQ(test::countOf(port.bytesWaiting()), -1);
    EXPECT_EQ(test::countOf(port.waitForBytes(0, 10)), -1);
    EXPECT_FALSE(port.readAll(out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(port.discardInput());
    port.close();
}

}  // namespace
}  // namespace korvath::serial
