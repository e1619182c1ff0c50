#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <system_error>

#include "platform/append_file.h"

namespace korvath::platform {

namespace {

/// The system's words for `error`, numbered by its kind.
Fault systemFault(int error) {
    return {errorNumberOf(error), std::generic_category().message(error)};
}

Fault notRegular(const char* text) {
    return {ErrorNumber::PathFileAccess, text};
}

/// Refuses a file of a kind that cannot take records: anything but a regular file.
Result<void> checkKind(const struct stat& info) {
    if (S_ISREG(info.st_mode)) return {};
    if (S_ISDIR(info.st_mode)) return notRegular("is a folder");
    if (S_ISFIFO(info.st_mode)) return notRegular("is a FIFO, not a regular file");
    if (S_ISSOCK(info.st_mode)) return notRegular("is a socket, not a regular file");
    return notRegular("is a device, not a regular file");
}

struct Descriptor {
    int fd = -1;
    bool readable = false;
};

/// Opens `path` for appending when it is a regular file or does not exist yet. A device is
/// never opened (opening a serial port may reset what is attached to it), and a FIFO that
/// turns up between the check and the open is opened without waiting for a reader, then
/// refused.
Result<Descriptor> openRegular(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (Result<void> kind = checkKind(info); !kind) return kind.fault();
    }
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    bool readable = true;
    int fd = ::open(path.c_str(), O_RDWR | kFlags, 0644);
    if (fd < 0 && errno == EACCES) {
        readable = false;
        fd = ::open(path.c_str(), O_WRONLY | kFlags, 0644);
    }
    if (fd < 0) {
        if (errno == EISDIR) return notRegular("is a folder");
        if (errno == ENXIO) return notRegular("is a FIFO, not a regular file");
        return systemFault(errno);
    }
    if (::fstat(fd, &info) != 0) {
        const Fault fault = systemFault(errno);
        ::close(fd);
        return fault;
    }
    if (Result<void> kind = checkKind(info); !kind) {
        ::close(fd);
        return kind.fault();
    }
    return Descriptor{fd, readable};
}

/// "no room for a line: " and the system's words for `error`.
Fault noRoom(int error) {
    Fault fault = systemFault(error);
    fault.text = "no room for a line: " + fault.text;
    return fault;
}

/// Checks that the file system holding `fd` has room for `room` more bytes in it: the room is
/// reserved beyond the end of the file, which keeps its size, so that a line appended by
/// another program meanwhile is never touched.
Result<void> checkRoom(int fd, std::size_t room) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return systemFault(errno);
#if defined(__linux__)
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, info.st_size, static_cast<off_t>(room)) == 0) {
        return {};
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) return noRoom(errno);
#endif
    struct statvfs space {};
    if (::fstatvfs(fd, &space) == 0 &&
        static_cast<unsigned long long>(space.f_bavail) * space.f_frsize < room) {
        return noRoom(ENOSPC);
    }
    return {};
}

/// Holds an exclusive lock on the file among the programs that append to it this way, so that
/// its size stays put from the check before a write to the cut after a failed one. The lock is
/// waited for as LockWait says; held() tells whether it was taken.
class FileLock {
  public:
    FileLock(int fd, const std::filesystem::path& path, const LockWait& wait) : fd_(fd) {
        if (tryLock()) return;
        if (wait.note) {
            wait.note("waiting up to " + std::to_string(static_cast<int>(wait.boundMs / 1000)) +
                      " s for the log " + path.string() + ": another program holds its lock");
        }
        using Steady = std::chrono::steady_clock;
        const Steady::time_point deadline =
            Steady::now() + std::chrono::duration_cast<Steady::duration>(
                                std::chrono::duration<double, std::milli>(wait.boundMs));
        // A lock held by another program says nothing when it goes: look again every 20 ms,
        // until the bound or a stop.
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock sleeping(mutex);
        while (!wait.stop.stop_requested() && Steady::now() < deadline) {
            const Steady::time_point next = Steady::now() + std::chrono::milliseconds(20);
            wake.wait_until(sleeping, wait.stop, std::min(deadline, next), [] { return false; });
            if (tryLock()) return;
        }
        if (wait.note) {
            wait.note(wait.stop.stop_requested()
                          ? "the log's lock was not free when the run was stopped: the line is "
                            "appended without it"
                          : "the log's lock was not free in " +
                                std::to_string(static_cast<int>(wait.boundMs / 1000)) +
                                " s: the line is appended without it");
        }
    }
    ~FileLock() {
        if (held_) ::flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    [[nodiscard]] bool held() const { return held_; }

  private:
    bool tryLock() {
        int result = 0;
        while ((result = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        held_ = result == 0;
        // A file system without locks: the record goes out as it would on any other.
        if (!held_ && errno != EWOULDBLOCK) held_ = true;
        return held_;
    }

    int fd_;
    bool held_ = false;
};

}  // namespace

Result<std::unique_ptr<AppendFile>> AppendFile::open(const std::filesystem::path& path,
                                                     std::size_t room) {
    if (path.empty()) return Fault{ErrorNumber::InvalidArgument, "no file name given"};
    const Result<Descriptor> opened = openRegular(path);
    if (!opened) return opened.fault();
    if (Result<void> roomy = checkRoom(opened->fd, room); !roomy) {
        ::close(opened->fd);
        return roomy.fault();
    }
    return std::unique_ptr<AppendFile>(new AppendFile(path, opened->fd, opened->readable));
}

AppendFile::~AppendFile() {
    ::close(fd_);
}

Result<void> AppendFile::followPath() {
    struct stat held {};
    struct stat named {};
    if (::fstat(fd_, &held) == 0 && held.st_nlink > 0 && ::stat(path_.c_str(), &named) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
        return {};
    }
    const Result<Descriptor> opened = openRegular(path_);
    if (!opened) return opened.fault();
    ::close(fd_);
    fd_ = opened->fd;
    readable_ = opened->readable;
    return {};
}

Result<void> AppendFile::append(std::string_view bytes) {
    return append(bytes, LockWait{});
}

Result<void> AppendFile::append(std::string_view bytes, const LockWait& wait) {
    const std::lock_guard guard(mutex_);
    if (Result<void> followed = followPath(); !followed) return followed;
    const FileLock lock(fd_, path_, wait);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return systemFault(errno);
    const off_t before = info.st_size;

    std::string text;
    text.reserve(bytes.size() + 1);
    char last = '\n';
    if (lock.held() && before > 0 && readable_ && ::pread(fd_, &last, 1, before - 1) == 1 &&
        last != '\n') {
        text.push_back('\n');
    }
    text.append(bytes.data(), bytes.size());

    std::optional<Fault> problem;
    const ssize_t written = ::write(fd_, text.data(), text.size());
    if (written < 0) {
        problem = systemFault(errno);
    } else if (static_cast<std::size_t>(written) != text.size()) {
        problem = Fault{ErrorNumber::DiskFull,
                        "only " + std::to_string(written) + " of " + std::to_string(text.size()) +
                            " bytes written (the disk is full or the file too large)"};
    } else if (::fsync(fd_) != 0) {
        problem = systemFault(errno);
    }
    if (!problem) return {};
    if (!lock.held()) return *problem;
    if (::ftruncate(fd_, before) != 0)
        problem->text += std::string("; cutting the file back failed: ") +
                         std::generic_category().message(errno);
    return *problem;
}

}  // namespace korvath::platform
