#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/append_file.h"

namespace korvath::platform {

namespace {

/// The system's words for `error`, numbered by its kind.
Fault systemFault(int error) {
    return {errorNumberOf(error), std::strerror(error)};
}

/// Refuses a file of a kind that cannot take records: anything but a regular file.
Result<void> checkKind(const std::filesystem::path& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status))
        return {};
    if (std::filesystem::is_directory(status))
        return Fault{ErrorNumber::PathFileAccess, "is a folder"};
    return Fault{ErrorNumber::PathFileAccess, "is a device, not a regular file"};
}

Result<int> openRegular(const std::filesystem::path& path) {
    if (Result<void> kind = checkKind(path); !kind) return kind.fault();
    const int fd = ::_wopen(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                            _S_IREAD | _S_IWRITE);
    if (fd < 0) return systemFault(errno);
    return fd;
}

}  // namespace

Result<std::unique_ptr<AppendFile>> AppendFile::open(const std::filesystem::path& path,
                                                     std::size_t room) {
    if (path.empty()) return Fault{ErrorNumber::InvalidArgument, "no file name given"};
    const Result<int> fd = openRegular(path);
    if (!fd) return fd.fault();
    std::error_code ec;
    const std::filesystem::space_info space =
        std::filesystem::space(std::filesystem::absolute(path, ec).parent_path(), ec);
    if (!ec && space.available < room) {
        ::_close(*fd);
        return Fault{ErrorNumber::DiskFull,
                     std::string("no room for a line: ") + std::strerror(ENOSPC)};
    }
    return std::unique_ptr<AppendFile>(new AppendFile(path, *fd, true));
}

AppendFile::~AppendFile() {
    ::_close(fd_);
}

// A file held open here cannot be deleted or replaced: there is nothing to follow.
Result<void> AppendFile::followPath() {
    return {};
}

// Records are serialised by this program's own lock: no other program's lock is waited for.
Result<void> AppendFile::append(std::string_view bytes, const LockWait& /*wait*/) {
    return append(bytes);
}

Result<void> AppendFile::append(std::string_view bytes) {
    const std::lock_guard guard(mutex_);
    const long long before = ::_lseeki64(fd_, 0, SEEK_END);
    if (before < 0) return systemFault(errno);
    std::string text;
    text.reserve(bytes.size() + 1);
    char last = '\n';
    if (before > 0 && ::_lseeki64(fd_, before - 1, SEEK_SET) == before - 1 &&
        ::_read(fd_, &last, 1) == 1 && last != '\n') {
        text.push_back('\n');
    }
    text.append(bytes.data(), bytes.size());
    std::optional<Fault> problem;
    const int written = ::_write(fd_, text.data(), static_cast<unsigned>(text.size()));
    if (written < 0) {
        problem = systemFault(errno);
    } else if (static_cast<std::size_t>(written) != text.size()) {
        problem = Fault{ErrorNumber::DiskFull,
                        "only " + std::to_string(written) + " of " + std::to_string(text.size()) +
                            " bytes written (the disk is full or the file too large)"};
    } else if (::_commit(fd_) != 0) {
        problem = systemFault(errno);
    }
    if (!problem) return {};
    if (::_chsize_s(fd_, before) != 0)
        problem->text += std::string("; cutting the file back failed: ") + std::strerror(errno);
    return *problem;
}

}  // namespace korvath::platform
