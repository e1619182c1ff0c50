// Reading an image file on POSIX systems. The file is opened without blocking and judged by
// what the open descriptor is, so a file swapped for a pipe after the first look still never
// stalls the reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "image/image_file.h"

namespace korvath::image {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }

  private:
    int fd_;
};

ReadFailure kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return ReadFailure::Folder;
    if (!S_ISREG(mode)) return ReadFailure::NotRegular;
    return ReadFailure::None;
}

}  // namespace

FileBytes readFileBytes(const std::filesystem::path& path, std::uintmax_t limit) {
    FileBytes result;
    const auto fail = [&result](ReadFailure failure, int error, bool opened) {
        result.bytes.clear();
        result.failure = failure;
        result.error = error;
        result.opened = opened;
        return std::move(result);
    };
    // A look before opening: opening a device can have effects of its own (a serial line
    // raises its control lines).
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0)
        return fail(
            errno == ENOENT || errno == ENOTDIR ? ReadFailure::Missing : ReadFailure::Unreadable,
            errno, false);
    if (const ReadFailure kind = kindOf(before.st_mode); kind != ReadFailure::None)
        return fail(kind, 0, false);

    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return fail(errno == ENOENT ? ReadFailure::Missing : ReadFailure::Unreadable, errno, false);
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return fail(ReadFailure::Unreadable, errno, true);
    if (const ReadFailure kind = kindOf(opened.st_mode); kind != ReadFailure::None)
        return fail(kind, 0, true);
    if (static_cast<std::uintmax_t>(opened.st_size) > limit)
        return fail(ReadFailure::TooLong, 0, true);

    // The file may still grow while it is read: one byte past the limit tells.
    result.bytes.resize(static_cast<std::size_t>(opened.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == result.bytes.size()) {
            if (got > limit) return fail(ReadFailure::TooLong, 0, true);
            result.bytes.resize(std::min<std::uintmax_t>(got * 2 + 4096, limit + 1));
        }
        const ssize_t n = ::read(fd.get(), result.bytes.data() + got, result.bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(ReadFailure::Unreadable, errno, true);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got > limit) return fail(ReadFailure::TooLong, 0, true);
    result.bytes.resize(got);
    return result;
}

}  // namespace korvath::image
