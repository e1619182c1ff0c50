// The real serial port: link::Port over QSerialPort, driven by blocking waits without an event
// loop. It opens a port by its name or device path at the fixed line settings.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/port.h"

class QSerialPort;

namespace korvath::link {

/// A serial port at 38400 baud, 8 data bits, no parity, 1 stop bit, no flow control.
///
/// Not thread-safe and thread-bound: every call, closing and destruction included, must come
/// from the thread that called open(). Destroying it from another thread is fine once that
/// thread has closed it. It needs no running event loop; the thread should still have a Qt
/// event dispatcher (the main thread of a QCoreApplication, or a QThread), or Qt warns on
/// every open and close about socket notifiers that the blocking waits never use.
///
/// A device that goes away (adapter pulled, other end of a pseudo-terminal closed) makes the
/// next operation fail with ErrorNumber::DeviceIo; the port then closes itself.
class QtSerialPort final : public Port {
  public:
    QtSerialPort();
    ~QtSerialPort() override;

    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    /// Opens the serial port `device`, a port name ("ttyUSB0", "COM3") or a device path, as
    /// given; what a user's port text stands for is the ports module's business. False, with
    /// lastError() saying why, when the port is missing, in use or refused, or this port is
    /// already open (it then stays open as it was).
    bool open(std::string_view device);

    /// The open port as it was opened, the name or path given; empty while closed.
    [[nodiscard]] std::string portName() const;

    [[nodiscard]] bool isOpen() const override;
    void discardInput() override;
    /// Waits until every byte has gone to the driver, at most a bounded time.
    bool write(std::span<const std::uint8_t> bytes) override;
    /// Takes in what the driver holds without blocking, then counts it.
    [[nodiscard]] int bytesWaiting() override;
    int waitForBytes(int known, double timeoutMs) override;
    /// Delivers what the last bytesWaiting()/waitForBytes() counted (and anything the driver
    /// handed over since through a write); it does not fetch from the driver itself.
    bool readAll(std::vector<std::uint8_t>& out) override;
    [[nodiscard]] PortError lastError() const override;
    void close() override;

  private:
    void closePort();
    bool fail(std::string description);
    bool notOpen();
    /// False when the port failed (device gone, driver error); it is then closed and lastError()
    /// says why. Clears the time-out that a wait leaves behind.
    bool checkHealth();
    [[nodiscard]] int available() const;

    std::unique_ptr<QSerialPort> port_;
    std::string location_;
    PortError lastError_;
    bool closedByFailure_ = false;
    int lockEntry_ = -1;  ///< the lock file an abrupt end deletes while the port is open
};

}  // namespace korvath::link
