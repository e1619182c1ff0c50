#include "link/qt/qt_serial_port.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include "link/link_error.h"
#include "platform/platform.h"
#include "platform/stop_signals.h"

namespace korvath::link {

namespace {

constexpr qint32 kBaudRate = 38400;

// The longest frame takes 27 ms on the line; a write still pending after this is a stuck
// driver or a line held by flow control that we never asked for.
constexpr int kWriteTimeoutMs = 2000;

constexpr int kDeviceIo = static_cast<int>(ErrorNumber::DeviceIo);

std::string toStd(const QString& text) {
    return text.toStdString();
}

std::string failureKind(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::ReadError:
            return "reading failed";
        case QSerialPort::WriteError:
            return "writing failed";
        case QSerialPort::ResourceError:
            return "the device disappeared";
        default:
            return "the driver failed";
    }
}

// QSerialPort locks a port on POSIX with a file "LCK.." + its port name ('/' as '_') in the
// first of these folders that it may use. Called right after opening, the one that exists is
// ours. Windows gives a port to one program at a time without lock files.
std::string lockFileOf([[maybe_unused]] const QSerialPort& port) {
#if !defined(Q_OS_WIN)
    const QString file = QStringLiteral("/LCK..") + QString(port.portName()).replace('/', '_');
    for (const char* folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                               "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QString::fromLatin1(folder) + file;
        if (QFileInfo::exists(path)) return path.toStdString();
    }
#endif
    return {};
}

}  // namespace

QtSerialPort::QtSerialPort() = default;

QtSerialPort::~QtSerialPort() {
    closePort();
}

bool QtSerialPort::open(std::string_view device) {
    if (isOpen()) return fail(location_ + " is already open");
    closedByFailure_ = false;

    const QString name = QString::fromUtf8(device.data(), static_cast<qsizetype>(device.size()));

    auto port = std::make_unique<QSerialPort>();
    port->setPortName(name);
    port->setBaudRate(kBaudRate);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        std::string reason = toStd(port->errorString());
        if (port->error() == QSerialPort::PermissionError) {
            reason = "in use by another program, or access denied (" + reason + ")";
        }
        return fail("Cannot open " + toStd(name) + ": " + reason);
    }
    // A second Ctrl-C ends the program without closing the port: the lock goes with it.
    lockEntry_ = platform::removeOnAbruptEnd(lockFileOf(*port));
    port_ = std::move(port);
    location_ = toStd(name);
    // The thread that opens a port is the one that waits on it, in the reply's quiet wait above
    // all: its waits end on time rather than some tens of microseconds late on every record.
    platform::exactTimers();
    return true;
}

std::string QtSerialPort::portName() const {
    return isOpen() ? location_ : std::string();
}

bool QtSerialPort::isOpen() const {
    return port_ != nullptr && port_->isOpen();
}

void QtSerialPort::discardInput() {
    if (!isOpen()) return;
    // Flushes the driver and also drops what Qt itself fetched earlier.
    port_->clear(QSerialPort::Input);
    checkHealth();
}

bool QtSerialPort::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen()) return notOpen();
    if (bytes.empty()) return true;

    const auto size = static_cast<qint64>(bytes.size());
    if (port_->write(reinterpret_cast<const char*>(bytes.data()), size) != size) {
        if (!checkHealth()) return false;
        return fail("Cannot write to " + location_ + ": " + toStd(port_->errorString()));
    }
    const QDeadlineTimer deadline(kWriteTimeoutMs);
    while (port_->bytesToWrite() > 0) {
        if (!port_->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
            if (!checkHealth()) return false;
            return fail("Timed out writing to " + location_);
        }
    }
    return checkHealth();
}

int QtSerialPort::bytesWaiting() {
    if (!isOpen()) {
        notOpen();
        return -1;
    }
    // Without an event loop Qt reads from the driver only inside a wait.
    port_->waitForReadyRead(0);
    if (!checkHealth()) return -1;
    return available();
}

int QtSerialPort::waitForBytes(int known, double timeoutMs) {
    if (!isOpen()) {
        notOpen();
        return -1;
    }
    // Bounded so that a NaN or an absurd time-out cannot overflow the deadline.
    const double boundedMs = timeoutMs > 0 ? std::min(timeoutMs, static_cast<double>(INT_MAX)) : 0;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double, std::milli>(boundedMs));

    // Qt waits in whole milliseconds. Rounding up would stretch the 2 ms quiet wait that ends
    // every reply to 3 ms (4 % of a record's time at 38400 baud), so the whole milliseconds go
    // to Qt and the rest of the deadline is slept, then the driver is asked once more.
    int count = available();
    while (count <= known) {
        const double ms =
            std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
        if (ms >= 1) {
            port_->waitForReadyRead(static_cast<int>(std::floor(ms)));
        } else {
            // Not sleep_until: on Windows that waits nothing at all below a millisecond.
            platform::sleepFor(ms);
            port_->waitForReadyRead(0);
        }
        if (!checkHealth()) return -1;
        count = available();
        if (ms < 1) break;
    }
    return count;
}

bool QtSerialPort::readAll(std::vector<std::uint8_t>& out) {
    out.clear();
    if (!isOpen()) return notOpen();
    const QByteArray data = port_->readAll();
    out.assign(reinterpret_cast<const std::uint8_t*>(data.constData()),
               reinterpret_cast<const std::uint8_t*>(data.constData()) + data.size());
    return true;
}

PortError QtSerialPort::lastError() const {
    return lastError_;
}

void QtSerialPort::close() {
    closePort();
}

void QtSerialPort::closePort() {
    // Forgotten before closing: once closed, the lock file's name may be someone else's.
    platform::forgetRemoveOnAbruptEnd(lockEntry_);
    lockEntry_ = -1;
    if (port_ != nullptr) {
        port_->close();
        port_.reset();
    }
    location_.clear();
}

bool QtSerialPort::fail(std::string description) {
    lastError_ = {kDeviceIo, std::move(description)};
    return false;
}

bool QtSerialPort::notOpen() {
    // After the device went away, its failure explains every later refusal better.
    if (!closedByFailure_) lastError_ = {kDeviceIo, "Port is not open"};
    return false;
}

bool QtSerialPort::checkHealth() {
    const QSerialPort::SerialPortError error = port_->error();
    if (error == QSerialPort::NoError) return true;
    if (error == QSerialPort::TimeoutError) {
        // A timed-out wait leaves this set until cleared; it is no failure here.
        port_->clearError();
        return true;
    }
    // Anything else means the device is gone (adapter pulled, other end closed) or the driver
    // refuses it. Qt would keep the port "open" and make every later wait return at once, so
    // close it and keep the reason for the caller.
    std::string description = "Serial port " + location_ + " was lost: " + failureKind(error);
    // Qt often has nothing better than "Unknown error" here; that only puzzles the user.
    if (const std::string detail = toStd(port_->errorString());
        !detail.empty() && detail != "Unknown error") {
        description += " (" + detail + ")";
    }
    closePort();
    closedByFailure_ = true;
    return fail(description);
}

int QtSerialPort::available() const {
    return static_cast<int>(std::min<qint64>(port_->bytesAvailable(), INT_MAX));
}

}  // namespace korvath::link
