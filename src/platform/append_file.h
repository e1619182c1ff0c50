// A file that records are appended to whole and durably: one write per record at the end of
// the file, on the disk before the call returns. Several threads, and several programs, may
// append to the same file; their records never mix, and a record that cannot be written whole
// leaves no part of itself behind.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/fault.h"

namespace korvath::platform {

/// How long an append waits for the lock another program holds on the file. Anyone who can
/// read a log can lock it; a record must never wait for that for ever, so after `boundMs`, or
/// at once when `stop` is requested, the record goes out without the lock: still one write of
/// the whole record at the end of the file, which the system does not mix with another.
struct LockWait {
    double boundMs = 10000;
    std::stop_token stop{};
    /// Told once when the wait begins (what it waits for) and once when the record goes out
    /// without the lock (why).
    std::function<void(const std::string&)> note{};
};

class AppendFile {
  public:
    /// Opens `path` for appending, creating it when it does not exist. Only a regular file is
    /// taken: an empty path, a folder, a device, a FIFO or a socket is refused without waiting
    /// for a reader (the fault's text says which, e.g. "is a folder"), and so is a file system
    /// without room for `room` more bytes (DiskFull).
    [[nodiscard]] static Result<std::unique_ptr<AppendFile>> open(const std::filesystem::path& path,
                                                                  std::size_t room = 4096);
    ~AppendFile();

    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    /// Writes `bytes` with one write at the end of the file and flushes them to the disk. When
    /// they cannot be written the file is cut back to the size it had before, so that it never
    /// ends in part of a record. A file that does not end in a line break gets one first, so
    /// that a record never continues a broken one. A file deleted or replaced since the last
    /// write is opened again at its path (created when it is gone).
    [[nodiscard]] Result<void> append(std::string_view bytes);
    /// The same, waiting for another program's lock on the file as `wait` says. A record written
    /// without the lock is neither repaired before nor cut back after: the end of the file may
    /// be another program's meanwhile.
    [[nodiscard]] Result<void> append(std::string_view bytes, const LockWait& wait);

    /// The path given to open().
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    AppendFile(std::filesystem::path path, int fd, bool readable)
        : path_(std::move(path)), fd_(fd), readable_(readable) {}
    /// Opens the file at path_ again when it is no longer the one fd_ holds.
    [[nodiscard]] Result<void> followPath();

    std::mutex mutex_;
    std::filesystem::path path_;
    int fd_;
    bool readable_;  ///< the last byte can be read, to repair a missing line break
};

}  // namespace korvath::platform
