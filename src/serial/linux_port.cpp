// The serial port on Linux: a non-blocking descriptor, raw termios, the kernel's locks (flock and
// TIOCEXCL), the driver's low-latency flag and ppoll waits.
//
// A record's exchange costs four system calls: the write, a ppoll that ends with the reply's
// first byte, the read that takes it, and the ppoll that times out the reply's quiet gap. What
// was read is kept here, so counting and handing over the reply cost nothing more; the driver
// is asked for stale input before a frame only when its last look is no longer fresh.
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "serial/port_base.h"
#include "serial/serial_port.h"

namespace korvath::serial {

namespace {

// The longest frame takes 27 ms on the line; a write still pending after this is a stuck
// driver or a line held by flow control that we never asked for.
constexpr double kWriteTimeoutMs = 2000;

// A wait that timed out saw the driver empty. Until this much later, asking it again before a
// frame would only catch a byte that arrived in that moment, which is no more stale than one
// arriving between the question and the write, which no discard can catch; later, late replies
// and noise may have piled up. A fifth of a byte's time on the line at 38400 baud.
constexpr double kDriverSeenEmptyForMs = 0.05;

// A latency timer above this makes the reply's first byte wait for it.
constexpr int kLowLatencyMs = 1;
// The device numbers of pseudo-terminal slaves (UNIX98_PTY_SLAVE_MAJOR and the ones after it).
constexpr unsigned int kFirstPtySlaveMajor = 136;
constexpr unsigned int kLastPtySlaveMajor = 143;

// Ports live on threads of their own: the C library's strerror may share one buffer among them.
std::string systemText(int error) {
    return std::generic_category().message(error);
}

std::string nameOfUser(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

std::string nameOfGroup(gid_t gid) {
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

// As ls shows it: "crw-rw----".
std::string modeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISBLK(mode) ? "b" : S_ISDIR(mode) ? "d" : "-";
    const char letters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
    return text;
}

// The dialout group opens serial ports on Debian-like systems; when the device belongs to
// another group, that advice would not help, so its owner, group and mode are named instead.
std::string permissionMessage(const std::string& device) {
    const std::string start = "Permission denied on " + device;
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) return start;
    const std::string groupName = nameOfGroup(info.st_gid);
    if (groupName == "dialout") {
        return start +
               ": add your user to the dialout group (sudo usermod -aG dialout $USER), then log "
               "out and in again";
    }
    return start + ": it belongs to user " + nameOfUser(info.st_uid) + " and group " + groupName +
           " with mode " + modeText(info.st_mode) +
           "; ask an administrator for read and write access to it";
}

std::string readFirstLine(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

}  // namespace

namespace detail {

// A USB adapter that hands over received bytes only every latency_timer ms makes every reply
// wait for it. Found once per device and program run.
std::optional<link::SlowAdapter> slowAdapter(const std::string& device,
                                             const std::filesystem::path& ttyClass) {
    static std::mutex mutex;
    static std::set<std::string> advised;
    const std::string name = std::filesystem::path(device).filename().string();
    const std::filesystem::path sysDevice = ttyClass / name / "device";
    const std::string timer = readFirstLine(sysDevice / "latency_timer");
    if (timer.empty()) return std::nullopt;
    int ms = 0;
    try {
        ms = std::stoi(timer);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (ms <= kLowLatencyMs) return std::nullopt;
    {
        const std::lock_guard lock(mutex);
        if (!advised.insert(device).second) return std::nullopt;
    }
    std::error_code ec;
    const std::filesystem::path usbDevice =
        std::filesystem::canonical(sysDevice, ec).parent_path().parent_path();
    return link::SlowAdapter{device, ms, ec ? std::string() : readFirstLine(usbDevice / "product")};
}

}  // namespace detail

namespace {

class LinuxPort final : public detail::PortBase {
  public:
    LinuxPort(int fd, std::string device, link::Clock& clock)
        : PortBase(std::move(device), clock), fd_(fd) {
        // Waits end on time rather than some tens of microseconds late on every record.
        platform::exactTimers();
    }
    ~LinuxPort() override { closePort(); }

    LinuxPort(const LinuxPort&) = delete;
    LinuxPort& operator=(const LinuxPort&) = delete;

    [[nodiscard]] bool isOpen() const override { return fd_ >= 0; }

    platform::Result<void> discardInput() override {
        if (!isOpen()) return refusal();
        dropReceived();
        if (clock().nowMs() - seenEmptyAtMs_ < kDriverSeenEmptyForMs) return {};
        int waiting = 0;
        if (::ioctl(fd_, FIONREAD, &waiting) != 0) {
            return failed(errno, "discarding input");
        }
        if (waiting > 0 && ::tcflush(fd_, TCIFLUSH) != 0) return failed(errno, "discarding input");
        return {};
    }

    platform::Result<void> write(std::span<const std::uint8_t> bytes) override {
        if (!isOpen()) return refusal();
        std::size_t sent = 0;
        // Taken when the driver first has no room: a frame usually goes in one call.
        std::optional<double> start;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return failed(errno, "writing");
            // The driver's buffer is full: wait until it takes more.
            const double now = clock().nowMs();
            if (!start) start = now;
            const double left = kWriteTimeoutMs - (now - *start);
            if (left <= 0) return fault("Timed out writing to " + device());
            pollfd poller{fd_, POLLOUT, 0};
            const timespec wait = toTimespec(left);
            if (::ppoll(&poller, 1, &wait, nullptr) < 0 && errno != EINTR)
                return failed(errno, "writing");
            if ((poller.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return lost();
        }
        return {};
    }

  private:
    static timespec toTimespec(double ms) {
        if (!(ms > 0)) return {0, 0};
        const auto ns = static_cast<long long>(ms * 1e6);
        return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }

    platform::Result<Step> waitStep(double leftMs) override {
        pollfd poller{fd_, POLLIN, 0};
        const timespec wait = toTimespec(leftMs);
        const int ready = ::ppoll(&poller, 1, &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) return Step::Again;
            return failed(errno, "waiting");
        }
        if (ready == 0) {
            // The kernel looks at the driver once more when the time-out wakes it.
            seenEmptyAtMs_ = clock().nowMs();
            return Step::TimeUp;
        }
        if ((poller.revents & POLLNVAL) != 0) return failed(EBADF, "waiting");
        if (platform::Result<void> fetched = fetch(); !fetched) return fetched.fault();
        return Step::Again;
    }

    // Takes in what the driver holds. A hung-up terminal reads as end of file.
    platform::Result<void> fetch() {
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                receive(buffer, buffer + n);
                if (static_cast<std::size_t>(n) < sizeof buffer) return {};
                continue;
            }
            if (n == 0) return lost();
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return {};
            return failed(errno, "reading");
        }
    }

    void closeDevice() override {
        if (fd_ < 0) return;
        // TIOCEXCL would otherwise outlive us on a device that another process keeps open (the
        // master of a pseudo-terminal); the flock goes with the descriptor.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }

    platform::Fault failed(int error, const char* doing) {
        if (error == EIO || error == ENXIO || error == ENODEV || error == EPIPE) return lost();
        return failedWhile(doing, systemText(error));
    }

    int fd_;
    // Far enough in the past that the first frame always asks the driver.
    double seenEmptyAtMs_ = -1e9;
};

// Raw bytes at 38400 8N1: no echo, no line editing, no translation of CR or LF, no software or
// hardware flow control. VMIN 1 makes a read with nothing waiting fail with EAGAIN, so that a
// read of 0 bytes means a hung-up device.
bool setLine(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return false;
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::cfsetispeed(&settings, B38400) != 0 || ::cfsetospeed(&settings, B38400) != 0)
        return false;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// True for the slave side of a pseudo-terminal (/dev/pts/N), by its device number.
bool isPseudoTerminal(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    const unsigned int kind = major(info.st_rdev);
    return kind >= kFirstPtySlaveMajor && kind <= kLastPtySlaveMajor;
}

// Asks the driver to hand over received bytes at once. A driver without the request (a
// pseudo-terminal answers ENOTTY) or that refuses it is fine: it is then as fast as it is.
void askLowLatency(int fd) {
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) return;
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &info);
}

}  // namespace

platform::Result<link::OpenedPort> openSerialPort(std::string_view deviceText, link::Clock& clock) {
    using platform::ErrorNumber;
    const std::string device(deviceText);
    if (device.empty()) return platform::Fault{ErrorNumber::InvalidArgument, "No port given"};
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY)
            return platform::Fault{ErrorNumber::PermissionDenied, busyMessage(device)};
        if (error == EACCES || error == EPERM)
            return platform::Fault{ErrorNumber::PermissionDenied, permissionMessage(device)};
        if (error == ENOENT)
            return platform::Fault{ErrorNumber::FileNotFound, "Port " + device + " does not exist"};
        return platform::Fault{platform::errorNumberOf(error),
                               "Cannot open " + device + ": " + systemText(error)};
    }
    // The kernel drops both holds when the descriptor closes, also when the program is killed.
    // flock keeps out every program that asks for it, TIOCEXCL every other open but root's.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return platform::Fault{ErrorNumber::PermissionDenied, busyMessage(device)};
        return platform::Fault{platform::errorNumberOf(error),
                               "Cannot lock " + device + ": " + systemText(error)};
    }
    // The master side of a pseudo-terminal (/dev/ptmx opens a new one) is a terminal too, but
    // no line leads anywhere from it.
    unsigned int ptyNumber = 0;
    if (!::isatty(fd) || ::ioctl(fd, TIOCGPTN, &ptyNumber) == 0) {
        ::close(fd);
        return platform::Fault{ErrorNumber::PathFileAccess, device + " is not a serial port"};
    }
    // On a pseudo-terminal the exclusive flag outlives a killed run while the master stays open,
    // and then keeps out the next one: flock alone holds it.
    if ((!isPseudoTerminal(fd) && ::ioctl(fd, TIOCEXCL) != 0) || !setLine(fd)) {
        const int error = errno;
        ::close(fd);
        return platform::Fault{
            ErrorNumber::DeviceIo,
            "Cannot set up " + device + " as a serial port: " + systemText(error)};
    }
    askLowLatency(fd);
    return link::OpenedPort{std::make_unique<LinuxPort>(fd, device, clock),
                            detail::slowAdapter(device, "/sys/class/tty")};
}

}  // namespace korvath::serial
