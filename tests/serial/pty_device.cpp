#include "serial/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace korvath::test {

namespace {

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

PtyDevice::PtyDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    char name[128] = {};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        const std::string error = std::strerror(errno);
        ::close(master_);
        throw std::runtime_error("pseudo-terminal: " + error);
    }
    path_ = name;
    wake_ = ::eventfd(0, EFD_CLOEXEC);
}

PtyDevice::~PtyDevice() {
    hangUp();
    if (wake_ >= 0) ::close(wake_);
}

void PtyDevice::start(Responder responder, std::size_t hangUpAfter) {
    responder_ = std::move(responder);
    hangUpAfter_ = hangUpAfter;
    thread_ = std::thread([this] { run(); });
}

void PtyDevice::send(const Bytes& bytes) {
    if (master_ >= 0) writeAll(master_, bytes.data(), bytes.size());
}

void PtyDevice::stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    thread_.join();
}

void PtyDevice::hangUp() {
    stop();
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

PtyDevice::Bytes PtyDevice::received() {
    std::lock_guard lock(mutex_);
    return received_;
}

bool PtyDevice::waitForReceived(std::size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.size() >= count; });
}

void PtyDevice::run() {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
    std::uint8_t buffer[256];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        // Hang-up: the slave was closed, nobody is left to answer.
        if ((fds[0].revents & POLLIN) == 0) return;
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) return;
        Bytes all;
        {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), buffer, buffer + n);
            all = received_;
        }
        arrived_.notify_all();
        if (all.size() >= hangUpAfter_) {
            ::close(master_);
            master_ = -1;
            return;
        }
        if (responder_) {
            const Bytes answer = responder_(all);
            writeAll(master_, answer.data(), answer.size());
        }
    }
}

}  // namespace korvath::test
