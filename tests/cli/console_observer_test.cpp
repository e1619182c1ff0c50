#include "console_observer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace korvath::cli {
namespace {

std::string contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[256];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

struct Files {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* in = std::tmpfile();
    ~Files() {
        std::fclose(out);
        std::fclose(err);
        std::fclose(in);
    }
};

TEST(ConsoleObserver, StatusLinesGoToStdoutAndErrorsToStderrWithoutABarWhenNotATerminal) {
    Files f;
    ConsoleObserver observer(f.out, f.err, f.in, false, false);
    observer.showStatus("Idle", download::Severity::Normal);
    observer.showProgress({50, 100, download::Phase::Connecting});
    observer.showStatus("Connection Error", download::Severity::Error);
    observer.reportError(57, "Device I/O error: /dev/ttyUSB0 is gone");
    observer.finish();
    EXPECT_EQ(contents(f.out), "Idle\nConnection Error\n");
    EXPECT_EQ(contents(f.err), "57 - Device I/O error: /dev/ttyUSB0 is gone\n");
    EXPECT_EQ(observer.lastStatus(), "Connection Error");
}

TEST(ConsoleObserver, BarCountsRecordsFromTheStartOfProgrammingAndIsClearedBeforeText) {
    Files f;
    ConsoleObserver observer(f.out, f.err, f.in, true, false);
    observer.showProgress({10, 110, download::Phase::Erasing});
    observer.showStatus("Programming!", download::Severity::Normal);
    observer.showProgress({110, 110, download::Phase::Programming});
    observer.showStatus("Resetting target", download::Severity::Normal);
    const std::string err = contents(f.err);
    EXPECT_NE(err.find("100/100 records"), std::string::npos) << err;
    EXPECT_NE(err.rfind("\r\033[K"), std::string::npos);
    EXPECT_EQ(contents(f.out), "Programming!\nResetting target\n");
}

TEST(ConsoleObserver, CardMessageWaitsForEnterOnlyWhenAsked) {
    Files f;
    std::fputs("\nrest", f.in);
    std::rewind(f.in);
    ConsoleObserver waiting(f.out, f.err, f.in, false, true);
    waiting.askToRemoveProgrammingCard();
    EXPECT_EQ(std::fgetc(f.in), 'r');  // exactly one line was taken

    ConsoleObserver notWaiting(f.out, f.err, f.in, false, false);
    notWaiting.askToRemoveProgrammingCard();
    EXPECT_EQ(std::fgetc(f.in), 'e');
    EXPECT_NE(
        contents(f.out).find("Please remove Programming Card first,\nthen close this window."),
        std::string::npos);
}

TEST(FormatDuration, MinutesAndHours) {
    EXPECT_EQ(formatDuration(0), "00:00");
    EXPECT_EQ(formatDuration(61.4), "01:01");
    EXPECT_EQ(formatDuration(3725), "1:02:05");
    EXPECT_EQ(formatDuration(-3), "00:00");
}

}  // namespace
}  // namespace korvath::cli
