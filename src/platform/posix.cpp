#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "platform/platform.h"

namespace korvath::platform {

namespace {

int descriptor(Stream stream) {
    switch (stream) {
        case Stream::Input:
            return STDIN_FILENO;
        case Stream::Output:
            return STDOUT_FILENO;
        case Stream::Error:
            return STDERR_FILENO;
    }
    return -1;
}

}  // namespace

bool waitForInput(std::FILE* in, const std::stop_token& stop) {
    int wake[2] = {-1, -1};
    if (::pipe(wake) != 0) return !stop.stop_requested();
    {
        // The stop request writes to the pipe, which ends the poll below.
        const std::stop_callback onStop(stop, [&wake] {
            const unsigned char byte = 1;
            [[maybe_unused]] const ssize_t written = ::write(wake[1], &byte, 1);
        });
        pollfd fds[2] = {{::fileno(in), POLLIN, 0}, {wake[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
    }
    ::close(wake[0]);
    ::close(wake[1]);
    return !stop.stop_requested();
}

bool isTerminal(Stream stream) {
    return ::isatty(descriptor(stream)) != 0;
}

bool enableTerminalControls(Stream stream) {
    return isTerminal(stream);
}

std::optional<TerminalSize> terminalSize(std::FILE* stream) {
    struct winsize size {};
    if (stream == nullptr || ::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return std::nullopt;
    TerminalSize result;
    result.columns = size.ws_col;
    if (size.ws_row > 0) result.rows = size.ws_row;
    return result;
}

void sleepFor(double ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

void exactTimers() {
#if defined(__linux__)
    // 1 ns, the least the kernel takes; 0 would mean "back to the default".
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void failOversizeWrites() {
    std::signal(SIGXFSZ, SIG_IGN);
}

Utf8Arguments::Utf8Arguments(int argc, char** argv) : texts_(argv, argv + argc) {
    for (auto& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

bool isFullPath(const std::filesystem::path& path) {
    return path.is_absolute();
}

}  // namespace korvath::platform
