#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/append_file.h"
#include "platform/fault.h"
#include "platform/stop_signals.h"

namespace korvath::platform {
namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A system error keeps the system's words and gets the number a user quotes for its kind.
TEST(Fault, FromErrnoIsNumberedByItsKindAndShownWithItsNumber) {
    const struct {
        int error;
        ErrorNumber number;
    } cases[] = {{ENOENT, ErrorNumber::FileNotFound}, {EACCES, ErrorNumber::PermissionDenied},
                 {ENOSPC, ErrorNumber::DiskFull},     {EISDIR, ErrorNumber::PathFileAccess},
                 {EIO, ErrorNumber::DeviceIo},        {0, ErrorNumber::DeviceIo}};
    for (const auto& c : cases) EXPECT_EQ(faultFromErrno(c.error, "x").number, c.number) << c.error;
    EXPECT_EQ(faultFromErrno(ENOENT, "cannot open a").shown(),
              "53 - cannot open a: No such file or directory");
    EXPECT_EQ(faultFromErrno(0, "cannot write b").text, "cannot write b: Device I/O error");

    const Result<int> value = 7;
    const Result<int> fault = faultOf(ErrorNumber::Overflow);
    EXPECT_TRUE(value.ok() && *value == 7);
    EXPECT_FALSE(fault);
    EXPECT_EQ(fault.fault().shown(), "6 - Overflow");
    EXPECT_FALSE(Result<void>(faultOf(ErrorNumber::InvalidArgument)).ok());
    EXPECT_TRUE(Result<void>().ok());
}

// The link's reply wait sleeps 2 ms and less; a plain Sleep(1) on Windows takes a scheduler tick
// (15.6 ms) and a sub-millisecond sleep_for does not wait at all there.
TEST(SleepFor, NeverShorterAndNotATickLonger) {
    for (const double ms : {0.3, 1.0, 2.0, 5.0}) {
        std::vector<double> taken;
        for (int i = 0; i < 9; ++i) {
            const auto start = Clock::now();
            sleepFor(ms);
            taken.push_back(millisecondsSince(start));
        }
        std::sort(taken.begin(), taken.end());
        EXPECT_GE(taken.front(), ms) << "a " << ms << " ms sleep returned early";
        // The median, with room for a loaded machine, but less than a Windows scheduler tick.
        EXPECT_LT(taken[taken.size() / 2], ms + 10.0) << "a " << ms << " ms sleep";
    }
    const auto start = Clock::now();
    sleepFor(0);
    sleepFor(-5);
    EXPECT_LT(millisecondsSince(start), 5.0);
}

TEST(Terminal, TheNullDeviceIsNoTerminal) {
    ASSERT_NE(std::freopen(KORVATH_NULL_DEVICE, "r", stdin), nullptr);
    EXPECT_FALSE(isTerminal(Stream::Input));
    EXPECT_FALSE(enableTerminalControls(Stream::Input));
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(terminalSize(file).has_value());
    std::fclose(file);
}

// The audit record's file: records go after what was there, whole, also under a name with
// spaces and letters beyond ASCII; a folder is refused by name.
TEST(AppendFile, RecordsFollowWhatWasThere) {
    const auto path = std::filesystem::temp_directory_path() / pathFromUtf8(
                                                                   "korvath Pr\xC3\xBC"
                                                                   "f-log \xC3\xA4.jsonl");
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary) << "earlier\n";
    {
        AppendFile::Opened opened = AppendFile::open(path);
        ASSERT_TRUE(opened.file) << opened.error;
        EXPECT_EQ(opened.file->append("one\n"), "");
        EXPECT_EQ(opened.file->append(std::string(5000, 'x') + "\n"), "");
    }
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "earlier\none\n" + std::string(5000, 'x') + "\n");
    in.close();
    std::filesystem::remove(path);

    const AppendFile::Opened folder = AppendFile::open(std::filesystem::temp_directory_path());
    EXPECT_FALSE(folder.file);
    EXPECT_EQ(folder.error, "is a folder");
}

// A watch that saw no signal leaves the run alone, and its end restores what it replaced.
TEST(SignalWatch, QuietWithoutASignal) {
    std::stop_source source;
    {
        SignalWatch watch(source);
        EXPECT_EQ(SignalWatch::signalNumber(), 0);
    }
    EXPECT_FALSE(source.stop_requested());
    EXPECT_EQ(cancelledExitCode(SIGINT), 130);
    EXPECT_EQ(cancelledExitCode(SIGTERM), 143);
}

TEST(Utf8Paths, FileNamesWithSpacesAndLettersBeyondAsciiSurviveTheRoundTrip) {
    const std::vector<std::string> names = {
        "image one.shx", "Bild \xC3\xA4\xC3\xB6\xC3\xBC \xC3\x9F.shx",
        "\xD0\xBE\xD0\xB1\xD1\x80\xD0\xB0\xD0\xB7.shx", "\xE6\x98\xA0\xE5\x83\x8F.shx"};
    const auto dir = std::filesystem::temp_directory_path() /
                     pathFromUtf8("korvath platform \xC3\xA4 " +
                                  std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    for (const auto& name : names) {
        const auto path = dir / pathFromUtf8(name);
        EXPECT_EQ(utf8Text(path.filename()), name);
        { std::ofstream(path, std::ios::binary) << "S0"; }
        std::ifstream in(path, std::ios::binary);
        EXPECT_TRUE(in.is_open()) << name;
    }
    std::vector<std::string> listed;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        listed.push_back(utf8Text(entry.path().filename()));
    std::filesystem::remove_all(dir);
    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
}

TEST(FullPath, TheTemporaryFolderIsOneAndARelativeNameIsNot) {
    EXPECT_TRUE(isFullPath(std::filesystem::temp_directory_path()));
    EXPECT_TRUE(isFullPath(std::filesystem::absolute("image.shx")));
    EXPECT_FALSE(isFullPath("image.shx"));
    EXPECT_FALSE(isFullPath("images/image.shx"));
    EXPECT_FALSE(isFullPath(""));
}

}  // namespace
}  // namespace korvath::platform
