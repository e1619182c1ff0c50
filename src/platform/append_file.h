// A file that records are appended to whole and durably: one write per record at the end of
// the file, on the disk before the call returns. Several threads, and several programs, may
// append to the same file; their records never mix.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace korvath::platform {

class AppendFile {
  public:
    struct Opened {
        std::unique_ptr<AppendFile> file;  ///< empty when the file cannot be written
        std::string error;                 ///< then why, e.g. "is a folder"
    };

    /// Opens `path` for appending, creating it when it does not exist.
    [[nodiscard]] static Opened open(const std::filesystem::path& path);
    ~AppendFile();

    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    /// Writes `bytes` with one write at the end of the file and flushes them to the disk. Empty
    /// on success, else why they could not be written (a short write included).
    [[nodiscard]] std::string append(std::string_view bytes);

  private:
    explicit AppendFile(int fd) : fd_(fd) {}
    std::mutex mutex_;
    int fd_;
};

}  // namespace korvath::platform
