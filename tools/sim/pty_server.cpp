#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace korvath::sim {

namespace {

double monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

/// Sleeps until the monotonic clock reads `ms`; an absolute deadline does not drift.
void sleepUntilMs(double ms) {
    timespec ts{};
    const double seconds = std::floor(ms / 1000.0);
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((ms - seconds * 1000.0) * 1e6);
    if (ts.tv_nsec >= 1000000000L) {
        ++ts.tv_sec;
        ts.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

PtyServer::PtyServer(Controller& controller, std::FILE* log) : line_(controller), log_(log) {
    if (log_) {
        line_.setResponseLog([this](const Response& response, double requestEndMs) {
            std::fprintf(log_, "%10.3f ms  %s\n", requestEndMs - startMs_,
                         response.summary.c_str());
            std::fflush(log_);
        });
    }
}

PtyServer::~PtyServer() {
    closeAll();
}

void PtyServer::closeAll() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

std::string PtyServer::open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) return systemError("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return systemError("grantpt/unlockpt");
    const char* name = ptsname(master_);
    if (name == nullptr) return systemError("ptsname");
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) return systemError("open slave");
    // Raw on both sides: no echo, no line editing, no CR/LF translation of binary frames.
    if (!makeRaw(slave_) || !makeRaw(master_)) return systemError("tcsetattr");
    startMs_ = monotonicMs();
    return {};
}

bool PtyServer::readClient(double nowMs) {
    std::uint8_t buffer[256];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            line_.send(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), nowMs);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        error_ = n == 0 ? "pseudo-terminal closed" : systemError("read");
        return false;
    }
}

void PtyServer::writeByte(std::uint8_t byte) {
    // Nonblocking: with no client reading, a full buffer just loses the byte, as a line would.
    while (::write(master_, &byte, 1) < 0 && errno == EINTR) {
    }
}

PtyServer::Stop PtyServer::run(int signalFd, int inputFd) {
    for (;;) {
        const double now = monotonicMs();
        line_.advance(now, [this](std::uint8_t byte) { writeByte(byte); });
        if (line_.deadAt(now)) {
            closeAll();
            return Stop::Unplugged;
        }

        const auto next = line_.nextEventMs();
        // Poll for input until the whole milliseconds before the next event have passed, then
        // sleep the remainder to its exact time.
        const int timeoutMs = next ? static_cast<int>(std::max(0.0, std::floor(*next - now))) : -1;
        pollfd fds[3] = {{master_, POLLIN, 0}, {signalFd, POLLIN, 0}, {inputFd, POLLIN, 0}};
        const nfds_t count = inputFd >= 0 ? 3 : 2;
        const int ready = ::poll(fds, count, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            error_ = systemError("poll");
            return Stop::Failed;
        }
        if (ready == 0) {
            if (next) sleepUntilMs(*next);
            continue;
        }
        if (fds[1].revents != 0) return Stop::Signal;
        if (count == 3 && fds[2].revents != 0) {
            char discard[256];
            const ssize_t n = ::read(inputFd, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return Stop::InputClosed;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            error_ = "pseudo-terminal failed";
            return Stop::Failed;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) && !readClient(monotonicMs()))
            return Stop::Failed;
    }
}

}  // namespace korvath::sim
