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

korvath::platform::Fault systemError(const char* what) {
    return korvath::platform::faultFromErrno(errno, what);
}

bool makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    // The speed a client sets matters nothing on a pseudo-terminal; it is the line's all the same.
    static_assert(korvath::link::protocol::kBaudRate == 38400);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

/// A relative time-out for ppoll, rounded up to whole nanoseconds so that the wake-up is never
/// before the event it waits for.
timespec timeoutUntil(double nowMs, double atMs) {
    const double ns = std::ceil(std::max(0.0, atMs - nowMs) * 1e6);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1e9);
    ts.tv_nsec = static_cast<long>(ns - static_cast<double>(ts.tv_sec) * 1e9);
    return ts;
}

}  // namespace

double monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string unitTag(int port, int ports, int unit, int units) {
    if (ports > 1 && units > 1) return std::to_string(port) + '.' + std::to_string(unit);
    if (ports > 1) return std::to_string(port);
    if (units > 1) return std::to_string(unit);
    return {};
}

PtyServer::PtyServer(const Options& options, UnitPlan units, int port, int ports, std::FILE* log,
                     double epochMs)
    : options_(options), units_(units), port_(port), ports_(ports), log_(log), epochMs_(epochMs) {
    startUnit();
}

PtyServer::~PtyServer() {
    closeAll();
}

void PtyServer::startUnit() {
    auto controller = std::make_unique<Controller>(options_);
    auto line = std::make_unique<Line>(*controller);
    // The master stays open for the whole run, so the line never has to take bytes back, and
    // the server wakes for what the client can see rather than for every byte that arrives.
    line->setDeliverOnSend(true);
    line->setResponseLog([this](const Response& response, double requestEndMs) {
        onResponse(response, requestEndMs);
    });
    // The old line refers to the old controller: replace the line first.
    line_ = std::move(line);
    controller_ = std::move(controller);
    ++unit_;
}

void PtyServer::onResponse(const Response& response, double requestEndMs) {
    if (log_) {
        if (const std::string t = tag(); !t.empty()) std::fprintf(log_, "%s ", t.c_str());
        std::fprintf(log_, "%10.3f ms  %s\n", requestEndMs - epochMs_, response.summary.c_str());
        std::fflush(log_);
    }
    if (controller_->restarted() && !nextUnitAtMs_ && unit_ < units_.count) {
        // The unit is gone once its last reply is out; the next one is plugged in a gap later.
        const double replyMs =
            options_.pacing ? kByteTimeMs * static_cast<double>(response.bytes.size()) : 0.0;
        nextUnitAtMs_ = requestEndMs + response.processingMs + replyMs + units_.gapMs;
    }
}

void PtyServer::closeAll() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

korvath::platform::Result<void> PtyServer::open() {
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
    return {};
}

bool PtyServer::readClient(double nowMs) {
    std::uint8_t buffer[512];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            line_->send(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), nowMs);
            // A short read took everything there was; more wakes the next poll.
            if (static_cast<std::size_t>(n) < sizeof buffer) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        fault_ = n == 0 ? platform::Fault{platform::ErrorNumber::DeviceIo, "pseudo-terminal closed"}
                        : systemError("read");
        return false;
    }
}

void PtyServer::flushReply() {
    // Nonblocking: with no client reading, a full buffer just loses the bytes, as a line would.
    std::size_t done = 0;
    while (done < reply_.size()) {
        const ssize_t n = ::write(master_, reply_.data() + done, reply_.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    reply_.clear();
}

// An adapter collects what arrives and sends it to the host when its latency timer runs out;
// the timer ticks on regardless of the traffic, so a reply waits for the next tick.
void PtyServer::handOver(double nowMs) {
    if (usbLatencyMs_ <= 0) {
        flushReply();
        return;
    }
    if (reply_.empty()) return;
    if (!handOverAtMs_) handOverAtMs_ = (std::floor(nowMs / usbLatencyMs_) + 1) * usbLatencyMs_;
    if (nowMs >= *handOverAtMs_) {
        flushReply();
        handOverAtMs_.reset();
    }
}

std::optional<double> PtyServer::nextWakeMs() const {
    if (master_ < 0) return std::nullopt;
    auto next = line_->nextEventMs();
    if (nextUnitAtMs_ && (!next || *nextUnitAtMs_ < *next)) next = nextUnitAtMs_;
    if (handOverAtMs_ && (!next || *handOverAtMs_ < *next)) next = handOverAtMs_;
    return next;
}

bool PtyServer::service(double nowMs, bool readable) {
    if (master_ < 0) return false;
    if (readable && !readClient(nowMs)) return false;
    line_->advance(nowMs, [this](std::uint8_t byte) { reply_.push_back(byte); });
    handOver(nowMs);
    if (line_->deadAt(nowMs)) {
        closeAll();
        unplugged_ = true;
        return false;
    }
    if (nextUnitAtMs_ && nowMs >= *nextUnitAtMs_) {
        nextUnitAtMs_.reset();
        if (unitDone_) unitDone_(*controller_, tag());
        startUnit();
    }
    return true;
}

platform::Result<ServeStop> serve(std::span<PtyServer* const> servers, int signalFd, int inputFd) {
    std::vector<PtyServer*> active(servers.begin(), servers.end());
    std::vector<pollfd> fds;
    const std::size_t first = inputFd >= 0 ? 2 : 1;
    for (;;) {
        double now = monotonicMs();
        std::optional<double> next;
        fds.assign({{signalFd, POLLIN, 0}});
        if (inputFd >= 0) fds.push_back({inputFd, POLLIN, 0});
        for (PtyServer* server : active) {
            fds.push_back({server->fd(), POLLIN, 0});
            const auto wake = server->nextWakeMs();
            if (wake && (!next || *wake < *next)) next = wake;
        }
        // One sleep to the next event of any line, woken early only by client bytes.
        const timespec timeout = next ? timeoutUntil(now, *next) : timespec{};
        const int ready = ::ppoll(fds.data(), fds.size(), next ? &timeout : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return systemError("ppoll");
        }
        if (fds[0].revents != 0) return ServeStop::Signal;
        if (inputFd >= 0 && fds[1].revents != 0) {
            char discard[256];
            const ssize_t n = ::read(inputFd, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                return ServeStop::InputClosed;
        }
        now = monotonicMs();
        std::vector<PtyServer*> still;
        still.reserve(active.size());
        for (std::size_t i = 0; i < active.size(); ++i) {
            PtyServer& server = *active[i];
            const short events = fds[first + i].revents;
            if (events & (POLLERR | POLLNVAL)) {
                return platform::Fault{platform::ErrorNumber::DeviceIo,
                                       server.slavePath() + ": pseudo-terminal failed"};
            }
            if (server.service(now, (events & (POLLIN | POLLHUP)) != 0)) {
                still.push_back(&server);
            } else if (!server.unplugged()) {
                return platform::Fault{server.fault().number,
                                       server.slavePath() + ": " + server.fault().text};
            }
        }
        active.swap(still);
        if (active.empty()) return ServeStop::Unplugged;
    }
}

}  // namespace korvath::sim
