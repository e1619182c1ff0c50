#include "link/qt/qt_serial_port.h"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "link/link.h"
#include "link_qt/pty_device.h"
#include "platform/stop_signals.h"
#include "support/recording_sink.h"

namespace korvath::link {
namespace {

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

class QtSerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(port.open(device.path())) << port.lastError().description; }

    ExchangeResult probe() { return link.ExchangeFrame(Bytes{protocol::kProbe}); }

    PtyDevice device;
    QtSerialPort port;
    SteadyClock clock;
    RecordingSink sink;
    Link link{port, clock, &sink};
};

using Status = ExchangeResult::Status;

TEST_F(QtSerialPortTest, OpensThePathAsGiven) {
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.portName(), device.path());
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.portName(), "");
}

TEST_F(QtSerialPortTest, ProbeGetsTheAck) {
    device.start(ackProbes);
    const ExchangeResult result = probe();
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{protocol::kAck});
    EXPECT_EQ(device.received(), Bytes{protocol::kProbe});
    EXPECT_TRUE(sink.reports.empty());
}

TEST_F(QtSerialPortTest, SilentDeviceTimesOutAfterOneSecond) {
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

TEST_F(QtSerialPortTest, BytesWaitingBeforeTheSendNeverReachTheReply) {
    // Some stale bytes sit in the driver, some already in Qt's own buffer.
    device.send({0x15, 0x15, 0x15});
    ASSERT_EQ(port.waitForBytes(2, 500), 3);
    device.send({0x15, 0x15});
    device.start(ackProbes);
    const ExchangeResult result = probe();
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(result.reply, Bytes{protocol::kAck});
}

TEST_F(QtSerialPortTest, OddTimeOutsNeitherBlockNorOverflow) {
    device.send({0x06});
    EXPECT_EQ(port.waitForBytes(0, 1e300), 1);
    EXPECT_EQ(port.waitForBytes(1, -5), 1);
    EXPECT_EQ(port.waitForBytes(1, std::numeric_limits<double>::quiet_NaN()), 1);
}

TEST_F(QtSerialPortTest, FrameAndReplyCrossTheLineUnchanged) {
    // Line-discipline bytes (CR, LF, XON, XOFF, EOF, interrupt, DEL) must pass untouched.
    Bytes frame(protocol::kProgramFrameLength);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 37 + 1);
    const Bytes control = {0x00, 0x03, 0x04, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x1C, 0x7F, 0xFF};
    std::copy(control.begin(), control.end(), frame.begin() + 20);
    const Bytes answer = {0x0D, 0x0A, 0x11, 0x13, 0x04, 0x00, 0xFF, 0x06};
    device.start(
        [&](const Bytes& received) { return received.size() == frame.size() ? answer : Bytes{}; });

    const ExchangeResult result = link.ExchangeFrame(frame);
    EXPECT_EQ(result.status, Status::Replied);
    EXPECT_EQ(device.received(), frame);
    EXPECT_EQ(result.reply, answer);
}

TEST_F(QtSerialPortTest, DeviceGoneIsReportedOnceAndClosesThePort) {
    const struct {
        const char* when;
        bool duringTheWait;
    } cases[] = {{"before the send", false}, {"during the wait", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        PtyDevice other;
        QtSerialPort otherPort;
        ASSERT_TRUE(otherPort.open(other.path())) << otherPort.lastError().description;
        RecordingSink reports;
        Link otherLink{otherPort, clock, &reports};
        if (c.duringTheWait) {
            other.start({}, 1);
        } else {
            other.hangUp();
        }

        const Bytes probe = {protocol::kProbe};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(otherLink.ExchangeFrame(probe).status, Status::Failed);
        EXPECT_LT(msSince(start), 500.0);
        ASSERT_EQ(reports.reports.size(), 1u);
        EXPECT_EQ(reports.reports[0].number, static_cast<int>(ErrorNumber::DeviceIo));
        EXPECT_NE(reports.reports[0].description.find(other.path()), std::string::npos)
            << reports.reports[0].description;
        EXPECT_FALSE(otherPort.isOpen());

        start = std::chrono::steady_clock::now();
        EXPECT_EQ(otherLink.ExchangeFrame(probe).status, Status::NotSent);
        EXPECT_LT(msSince(start), 50.0);
        EXPECT_EQ(reports.reports.size(), 1u);
    }
}

TEST_F(QtSerialPortTest, WaitNoticesTheDeviceGoneAndTheReasonStays) {
    device.start({}, 1);
    const std::uint8_t byte = protocol::kProbe;
    ASSERT_TRUE(port.write({&byte, 1}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.waitForBytes(0, 1000), -1);
    EXPECT_LT(msSince(start), 500.0);
    EXPECT_FALSE(port.isOpen());
    const PortError error = port.lastError();
    EXPECT_EQ(error.number, static_cast<int>(ErrorNumber::DeviceIo));
    EXPECT_NE(error.description.find(device.path()), std::string::npos) << error.description;

    // Later refusals keep explaining why, until the next open.
    EXPECT_FALSE(port.write({&byte, 1}));
    EXPECT_EQ(port.lastError().description, error.description);
}

TEST_F(QtSerialPortTest, SecondOpenOfTheSamePortIsRefused) {
    QtSerialPort second;
    EXPECT_FALSE(second.open(device.path()));
    EXPECT_FALSE(second.isOpen());
    EXPECT_NE(second.lastError().description.find(device.path()), std::string::npos)
        << second.lastError().description;

    // The first one is unharmed.
    device.start(ackProbes);
    EXPECT_TRUE(probe().acked());
}

// A second Ctrl-C ends the program without closing the port; its lock file must not stay behind
// to keep other users off the port. Once the port is closed, its name is no longer ours.
TEST_F(QtSerialPortTest, AnAbruptEndTakesTheLockFileOnlyWhileThePortIsOpen) {
    std::string name = device.path().substr(std::string("/dev/").size());
    std::replace(name.begin(), name.end(), '/', '_');
    const std::filesystem::path lock = "/run/lock/LCK.." + name;
    ASSERT_TRUE(std::filesystem::exists(lock)) << lock;
    platform::removeFilesForAbruptEnd();
    EXPECT_FALSE(std::filesystem::exists(lock));

    port.close();
    QtSerialPort next;
    ASSERT_TRUE(next.open(device.path())) << next.lastError().description;
    ASSERT_TRUE(std::filesystem::exists(lock));
    next.close();
    ASSERT_TRUE(port.open(device.path()));
    port.close();
    std::ofstream(lock) << "another program's lock\n";
    platform::removeFilesForAbruptEnd();
    EXPECT_TRUE(std::filesystem::exists(lock));
    std::filesystem::remove(lock);
}

TEST_F(QtSerialPortTest, OpenWhileOpenFailsAndKeepsThePort) {
    EXPECT_FALSE(port.open(device.path()));
    EXPECT_FALSE(port.lastError().description.empty());
    EXPECT_TRUE(port.isOpen());
}

TEST(QtSerialPortOpen, RefusesWhatIsNoSerialPortWithAMessage) {
    for (const char* text : {"/nonexistent/ttyKORVATH0", "ttyKORVATH0", "sim", ""}) {
        QtSerialPort port;
        EXPECT_FALSE(port.open(text)) << text;
        EXPECT_FALSE(port.isOpen()) << text;
        EXPECT_EQ(port.lastError().number, static_cast<int>(ErrorNumber::DeviceIo)) << text;
        EXPECT_FALSE(port.lastError().description.empty()) << text;
    }
}

TEST(QtSerialPortOpen, ClosedPortRefusesEveryOperation) {
    QtSerialPort port;
    std::vector<std::uint8_t> out{1, 2};
    const std::uint8_t byte = protocol::kProbe;
    EXPECT_FALSE(port.write({&byte, 1}));
    EXPECT_EQ(port.bytesWaiting(), -1);
    EXPECT_EQ(port.waitForBytes(0, 10), -1);
    EXPECT_FALSE(port.readAll(out));
    EXPECT_TRUE(out.empty());
    port.discardInput();
    port.close();
}

}  // namespace
}  // namespace korvath::link
