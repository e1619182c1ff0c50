#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/stop_signals.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace korvath::platform {
namespace {

TEST(FullPath, ThisSystemsForms) {
    EXPECT_TRUE(isFullPath("/home/tech/images/app one.shx"));
    EXPECT_TRUE(isFullPath("//server/share/app.shx"));
    EXPECT_FALSE(isFullPath(R"(C:\images\app.shx)"));
    EXPECT_FALSE(isFullPath("~/app.shx"));
}

TEST(Terminal, SizeIsTheWindowOfThePseudoTerminal) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    struct winsize window {};
    window.ws_col = 60;
    window.ws_row = 0;  // a terminal that does not say how high it is
    ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &window), 0);
    std::FILE* terminal = std::fopen(::ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    const auto size = terminalSize(terminal);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->columns, 60);
    EXPECT_EQ(size->rows, TerminalSize{}.rows);
    std::fclose(terminal);
    ::close(master);
}

// Each signal becomes the stop request that ends the run at its next exchange; which one it was
// gives the exit code.
TEST(SignalWatch, EachSignalRequestsTheStop) {
    for (const int number : {SIGINT, SIGTERM, SIGPIPE}) {
        std::stop_source source;
        SignalWatch watch(source);
        ASSERT_EQ(std::raise(number), 0);
        std::mutex mutex;
        std::condition_variable_any stopped;
        std::unique_lock lock(mutex);
        stopped.wait_for(lock, source.get_token(), std::chrono::seconds(10), [] { return false; });
        EXPECT_TRUE(source.stop_requested()) << number;
        EXPECT_EQ(SignalWatch::signalNumber(), number);
    }
    EXPECT_EQ(cancelledExitCode(SIGPIPE), 141);
}

TEST(Utf8Arguments, AreTheArgumentsAsGiven) {
    char program[] = "korvath-cli";
    char image[] =
        "Pr\xC3\xBC"
        "fstand/Bild \xC3\xA4.shx";
    char* argv[] = {program, image, nullptr};
    Utf8Arguments arguments(2, argv);
    ASSERT_EQ(arguments.count(), 2);
    EXPECT_EQ(arguments.texts()[1], image);
    EXPECT_STREQ(arguments.values()[1], image);
    EXPECT_EQ(arguments.values()[2], nullptr);
}

#if defined(__linux__)
TEST(ExactTimers, LeastSlackForTheCallingThreadAndThoseItStarts) {
    const int before = ::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    std::thread([] {
        exactTimers();
        EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
        std::thread([] { EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1); }).join();
    }).join();
    EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), before);
}
#endif

}  // namespace
}  // namespace korvath::platform
