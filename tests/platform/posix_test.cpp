#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/append_file.h"
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

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// A folder of its own for one test, removed with what is in it (and a file system mounted on
/// it) at the end.
struct Scratch {
    std::filesystem::path dir;
    bool mounted = false;
    explicit Scratch(const char* name)
        : dir(std::filesystem::temp_directory_path() /
              (std::string("korvath-") + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    /// Mounts a tmpfs of `bytes` on the folder; false where that is not allowed.
    bool mountSmall(std::size_t bytes, unsigned long flags = 0) {
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", flags,
                          ("size=" + std::to_string(bytes)).c_str()) == 0;
        return mounted;
    }
    ~Scratch() {
        if (mounted) ::umount(dir.c_str());
        std::filesystem::remove_all(dir);
    }
};

// Every log target that cannot take whole records is refused before anything else happens,
// with the reason; a FIFO without a reader does not hang the open.
TEST(AppendFile, RefusesWhatIsNoRegularFileWithRoom) {
    Scratch scratch("targets");
    const std::filesystem::path fifo = scratch.dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::filesystem::path socketPath = scratch.dir / "socket";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Scratch full("full");
    const bool tmpfs = full.mountSmall(16384);
    if (tmpfs) {
        std::ofstream filler(full.dir / "filler", std::ios::binary);
        filler << std::string(64 * 1024, 'f');
    }
    // Read-only: a read-only file system where one can be mounted, else a folder without
    // write permission (which root would write anyway).
    Scratch readOnly("read-only");
    const bool readOnlyMount = readOnly.mountSmall(16384, MS_RDONLY);
    if (!readOnlyMount) ::chmod(readOnly.dir.c_str(), 0555);
    using enum ErrorNumber;
    const struct {
        std::filesystem::path path;
        std::string error;
        ErrorNumber number;
    } rows[] = {
        {"", "no file name given", InvalidArgument},
        {scratch.dir, "is a folder", PathFileAccess},
        {"/dev/full", "is a device, not a regular file", PathFileAccess},
        {"/dev/null", "is a device, not a regular file", PathFileAccess},
        {fifo, "is a FIFO, not a regular file", PathFileAccess},
        {socketPath, "is a socket, not a regular file", PathFileAccess},
        {scratch.dir / "missing" / "log.jsonl", "No such file or directory", FileNotFound},
        {readOnly.dir / "log.jsonl", readOnlyMount ? "Read-only file system" : "Permission denied",
         PermissionDenied},
        {tmpfs ? full.dir / "log.jsonl" : "",
         tmpfs ? "no room for a line: No space left on device" : "no file name given",
         tmpfs ? DiskFull : InvalidArgument},
    };
    for (const auto& row : rows) {
        const Result<std::unique_ptr<AppendFile>> opened = AppendFile::open(row.path);
        ASSERT_FALSE(opened) << row.path;
        EXPECT_EQ(opened.fault(), (Fault{row.number, row.error})) << row.path;
    }
    ::close(listener);
}

// A record is whole or absent: a write cut short by a full file system or the file-size limit
// is cut back to where it began, and the next record starts on a line of its own there. A file
// whose last line is broken gets a line break before the next record; a file deleted or
// replaced while open is written again at its path.
TEST(AppendFile, ARecordIsWholeOrAbsent) {
    Scratch scratch("whole");
    const std::string record = std::string(300, 'r') + "\n";
    const std::filesystem::path path = scratch.dir / "log.jsonl";
    std::ofstream(path, std::ios::binary) << "{\"cut\":";
    Result<std::unique_ptr<AppendFile>> opened = AppendFile::open(path);
    ASSERT_TRUE(opened) << opened.fault().text;
    AppendFile& file = **opened;
    EXPECT_TRUE(file.append(record));
    EXPECT_EQ(fileText(path), "{\"cut\":\n" + record);

    // The file-size limit 100 bytes beyond the end: the write stops there and is taken back,
    // once the program has asked for such writes to fail.
    failOversizeWrites();
    const std::uintmax_t size = std::filesystem::file_size(path);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = size + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const Result<void> cut = file.append(record);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.fault(),
              (Fault{ErrorNumber::DiskFull,
                     "only 100 of 301 bytes written (the disk is full or the file too large)"}));
    EXPECT_EQ(std::filesystem::file_size(path), size);
    EXPECT_TRUE(file.append(record));
    EXPECT_EQ(fileText(path), "{\"cut\":\n" + record + record);

    std::filesystem::remove(path);
    EXPECT_TRUE(file.append("after delete\n"));
    EXPECT_EQ(fileText(path), "after delete\n");
    std::ofstream(scratch.dir / "other", std::ios::binary) << "other\n";
    std::filesystem::rename(scratch.dir / "other", path);
    EXPECT_TRUE(file.append("after replace\n"));
    EXPECT_EQ(fileText(path), "other\nafter replace\n");
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    const Result<void> toFolder = file.append(record);
    ASSERT_FALSE(toFolder);
    EXPECT_EQ(toFolder.fault().text, "is a folder");

    // A file system that fills up part-way through a write.
    Scratch small("small");
    if (!small.mountSmall(8192)) GTEST_SKIP() << "no tmpfs can be mounted here";
    const std::filesystem::path log = small.dir / "log.jsonl";
    Result<std::unique_ptr<AppendFile>> onSmall = AppendFile::open(log);
    ASSERT_TRUE(onSmall) << onSmall.fault().text;
    AppendFile& smallFile = **onSmall;
    EXPECT_TRUE(smallFile.append(record));
    {
        std::ofstream filler(small.dir / "filler", std::ios::binary);
        filler << std::string(16384, 'f');
    }
    const Result<void> full = smallFile.append(std::string(6000, 'x') + "\n");
    ASSERT_FALSE(full);
    EXPECT_EQ(full.fault().number, ErrorNumber::DiskFull) << full.fault().text;
    EXPECT_EQ(fileText(log), record);
    std::filesystem::remove(small.dir / "filler");
    EXPECT_TRUE(smallFile.append(record));
    EXPECT_EQ(fileText(log), record + record);
}

// Anyone who can read the log can lock it. A record waits for another program's lock at most
// its bound, saying what it waits for, and a stop ends the wait at once; either way the record
// is appended whole. A lock let go meanwhile is taken, and the record written under it.
TEST(AppendFile, AnotherProgramsLockDelaysARecordAtMostItsBound) {
    const struct {
        const char* name;
        int lock;  ///< LOCK_SH or LOCK_EX, held by another open of the file
        double boundMs;
        int stopAfterMs;     ///< a stop is requested this long into the wait; 0: none
        int releaseAfterMs;  ///< the other lock goes this long into the wait; 0: never
        std::size_t notes;   ///< what the wait said
    } rows[] = {
        {"a shared lock held", LOCK_SH, 200, 0, 0, 2},
        {"an exclusive lock held", LOCK_EX, 200, 0, 0, 2},
        {"a stop during the wait", LOCK_SH, 600000, 30, 0, 2},
        {"the lock let go during the wait", LOCK_EX, 600000, 0, 30, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Scratch scratch("lock");
        const std::filesystem::path path = scratch.dir / "log.jsonl";
        Result<std::unique_ptr<AppendFile>> opened = AppendFile::open(path);
        ASSERT_TRUE(opened) << opened.fault().text;
        const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, row.lock), 0);
        std::stop_source stop;
        std::vector<std::string> notes;
        const LockWait wait{.boundMs = row.boundMs,
                            .stop = stop.get_token(),
                            .note = [&](const std::string& text) { notes.push_back(text); }};
        std::thread later([&] {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::max(row.stopAfterMs, row.releaseAfterMs)));
            if (row.stopAfterMs > 0) stop.request_stop();
            if (row.releaseAfterMs > 0) ::flock(other, LOCK_UN);
        });
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE((*opened)->append("{\"unit\":1}\n", wait));
        const auto waited = std::chrono::steady_clock::now() - started;
        later.join();
        ::close(other);
        EXPECT_EQ(fileText(path), "{\"unit\":1}\n");
        ASSERT_EQ(notes.size(), row.notes);
        EXPECT_NE(notes.front().find("another program holds its lock"), std::string::npos);
        if (row.notes > 1) {
            EXPECT_NE(notes.back().find("appended without it"), std::string::npos);
        }
        EXPECT_LT(waited, std::chrono::seconds(60)) << "the bound or the stop ended the wait";
    }
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
