#include "platform/platform.h"
#include "platform/escape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/append_file.h"
#include "platform/fault.h"
#include "platform/sha256.h"
#include "platform/stop_signals.h"
#include "platform/windows_file_name.h"

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
        Result<std::unique_ptr<AppendFile>> opened = AppendFile::open(path);
        ASSERT_TRUE(opened) << opened.fault().text;
        EXPECT_TRUE((*opened)->append("one\n"));
        EXPECT_TRUE((*opened)->append(std::string(5000, 'x') + "\n"));
    }
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "earlier\none\n" + std::string(5000, 'x') + "\n");
    in.close();
    std::filesystem::remove(path);

    const Result<std::unique_ptr<AppendFile>> folder =
        AppendFile::open(std::filesystem::temp_directory_path());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.fault().text, "is a folder");
}

// Windows opens a device for these names in any folder and with any extension: a log or an
// image there is refused before anything is written or read.
TEST(WindowsReservedName, NamesTheDeviceOrNothing) {
    using windows::reservedDeviceName;
    const std::pair<std::string_view, std::optional<std::string>> rows[] = {
        {"NUL", "NUL"},
        {"nul", "NUL"},
        {"COM6", "COM6"},
        {"aux.jsonl", "AUX"},
        {R"(C:\logs\Con.txt)", "CON"},
        {"logs/prn.log.old", "PRN"},
        {"C:nul", "NUL"},
        {"nul .jsonl", "NUL"},
        {"COM1:", "COM1"},
        {"lpt9.txt", "LPT9"},
        {"CONOUT$", "CONOUT$"},
        {"com\xC2\xB9", "COM\xC2\xB9"},
        {R"(\\.\COM12)", R"(\\.\COM12)"},
        {R"(\\.\pipe\korvath)", R"(\\.\pipe\korvath)"},
        // files, whatever they look like
        {"COM10", std::nullopt},
        {"COM0", std::nullopt},
        {"LPT", std::nullopt},
        {"console.jsonl", std::nullopt},
        {"nul-run.jsonl", std::nullopt},
        {"auxiliary", std::nullopt},
        {R"(C:\nul\units.jsonl)", std::nullopt},
        {"units.jsonl", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, device] : rows) EXPECT_EQ(reservedDeviceName(path), device) << path;
}

// Names from outside reach a terminal without a control character and a log without a lost
// byte.
TEST(Escape, ControlsAndForeignBytesShowAsEscapes) {
    const struct {
        std::string_view name;
        std::string_view printable;
        std::string_view visible;
    } rows[] = {
        {"plain C:\\images\\app.shx", "plain C:\\images\\app.shx", "plain C:\\images\\app.shx"},
        {"a\nresult: accepted", "a\\nresult: accepted", "a\nresult: accepted"},
        {"\x1b[2J\r\t\x7f", "\\x1b[2J\\r\\t\\x7f", "\x1b[2J\r\t\x7f"},
        {"Pr\xC3\xBC"
         "f \xE2\x82\xAC",
         "Pr\xC3\xBC"
         "f \xE2\x82\xAC",
         "Pr\xC3\xBC"
         "f \xE2\x82\xAC"},
        // C1 control (CSI) and a right-to-left override, as UTF-8.
        {"\xC2\x9B"
         "2J\xE2\x80\xAE",
         "\\xc2\\x9b2J\\xe2\\x80\\xae",
         "\xC2\x9B"
         "2J\xE2\x80\xAE"},
        // Latin-1, a lone continuation byte, an overlong slash, a surrogate, a cut sequence.
        {"\xE4.shx", "\\xe4.shx", "\\xe4.shx"},
        {"\xFC.shx", "\\xfc.shx", "\\xfc.shx"},
        {"\x80\xC0\xAF\xED\xA0\x80\xE2\x82", "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82",
         "\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82"},
        {std::string_view("nul\0x", 5), "nul\\x00x", std::string_view("nul\0x", 5)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(printable(row.name), row.printable) << row.name;
        EXPECT_EQ(visibleUtf8(row.name), row.visible) << row.name;
    }
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

namespace korvath::platform {
namespace {

std::string hex(const Sha256Digest& digest) {
    std::string text;
    char pair[3];
    for (const std::uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// Known answers (FIPS 180-2), on each system's library.
TEST(Sha256, GivesTheStandardDigests) {
    const struct {
        std::string bytes;
        const char* digest;
    } rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& row : rows) EXPECT_EQ(hex(sha256(row.bytes)), row.digest) << row.bytes.size();
}

TEST(HostName, IsTheSystemsName) {
    EXPECT_FALSE(hostName().empty());
    EXPECT_EQ(hostName().find('\0'), std::string::npos);
}

}  // namespace
}  // namespace korvath::platform
