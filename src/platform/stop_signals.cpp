#include "platform/stop_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvath::platform {

namespace {

std::atomic<int> firstSignal{0};

#if !defined(_WIN32)

int wakePipe[2] = {-1, -1};
bool watchingHangUp = false;

// Async-signal-safe only: atomics, write() and _exit().
extern "C" void onSignal(int number) {
    int expected = 0;
    if (firstSignal.compare_exchange_strong(expected, number)) {
        const unsigned char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
        return;
    }
    // A closed output keeps raising SIGPIPE while the download winds down; only a second
    // request from the user ends the program at once.
    if (number != SIGPIPE) ::_exit(128 + number);
}

/// True when the program was started with `number` ignored: nohup leaves SIGHUP so, and a
/// run started that way is meant to outlive its terminal.
bool startedIgnoring(int number) {
    struct sigaction current {};
    return sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void install(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Reads and waits of the download carry on across the handler.
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

#else

std::stop_source* consoleSource = nullptr;

// Windows runs console handlers on a thread of their own, so this one may request the stop
// itself.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const int number = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    int expected = 0;
    if (firstSignal.compare_exchange_strong(expected, number)) {
        if (consoleSource != nullptr) consoleSource->request_stop();
        return TRUE;
    }
    ::ExitProcess(static_cast<UINT>(128 + number));
}

#endif

}  // namespace

#if !defined(_WIN32)

SignalWatch::SignalWatch(std::stop_source source, bool closedOutputStops)
    : source_(std::move(source)) {
    firstSignal = 0;
    if (::pipe(wakePipe) == 0) {
        for (int fd : wakePipe) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    watcher_ = std::thread([this] {
        unsigned char byte = 0;
        // One byte: a signal came (1) or the watch ends (0).
        while (::read(wakePipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        if (byte == 1) source_.request_stop();
    });
    for (int number : {SIGINT, SIGTERM, SIGQUIT}) install(number, onSignal);
    install(SIGPIPE, closedOutputStops ? onSignal : SIG_IGN);
    watchingHangUp = !startedIgnoring(SIGHUP);
    if (watchingHangUp) install(SIGHUP, onSignal);
}

SignalWatch::~SignalWatch() {
    install(SIGINT, SIG_DFL);
    install(SIGTERM, SIG_DFL);
    install(SIGQUIT, SIG_DFL);
    if (watchingHangUp) install(SIGHUP, SIG_DFL);
    // The last words may still go to a closed output: they are lost, the exit code is not.
    install(SIGPIPE, SIG_IGN);
    const unsigned char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    watcher_.join();
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
}

#else

SignalWatch::SignalWatch(std::stop_source source, bool /*closedOutputStops*/)
    : source_(std::move(source)) {
    firstSignal = 0;
    consoleSource = &source_;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

SignalWatch::~SignalWatch() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    consoleSource = nullptr;
}

#endif

int SignalWatch::signalNumber() {
    return firstSignal;
}

int cancelledExitCode(int signalNumber) {
    return 128 + signalNumber;
}

}  // namespace korvath::platform
