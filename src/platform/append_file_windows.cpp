// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>

#include "platform/append_file.h"
#include "platform/platform.h"
#include "platform/windows_file_name.h"

namespace korvath::platform {

namespace {

/// The system's words for `error`, numbered by its kind.
Fault systemFault(int error) {
    return {errorNumberOf(error), std::generic_category().message(error)};
}

Fault notRegular(const std::string& kind) {
    return {ErrorNumber::PathFileAccess, "is " + kind + ", not a regular file"};
}

/// Refuses, before opening, what is plainly no file for records: a folder, and a name Windows
/// keeps for a device (NUL, COM6, aux.jsonl in any folder), which would swallow every record.
Result<void> checkName(const std::filesystem::path& path) {
    if (const std::optional<std::string> device = windows::reservedDeviceName(utf8Text(path))) {
        // \\.\pipe\NAME: a pipe, which waits for a reader or loses what it is given.
        std::string upper = *device;
        for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (upper.starts_with(R"(\\.\PIPE\)")) return notRegular("a pipe");
        return notRegular("a device (" + *device + ")");
    }
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return Fault{ErrorNumber::PathFileAccess, "is a folder"};
    return {};
}

/// What the open handle is, as Windows reports it: only a file on a disk takes records.
Result<void> checkHandle(HANDLE handle) {
    switch (::GetFileType(handle)) {
        case FILE_TYPE_DISK:
            return {};
        case FILE_TYPE_CHAR:
            return notRegular("a device");
        case FILE_TYPE_PIPE:
            return notRegular("a pipe");
        default:
            return Fault{ErrorNumber::PathFileAccess, "is not a file on a disk"};
    }
}

Result<int> openRegular(const std::filesystem::path& path) {
    if (Result<void> name = checkName(path); !name) return name.fault();
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return systemFault(ENOENT);
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return systemFault(EACCES);
        if (error == ERROR_DISK_FULL) return systemFault(ENOSPC);
        return Fault{ErrorNumber::DeviceIo,
                     "cannot be opened (system error " + std::to_string(error) + ")"};
    }
    if (Result<void> kind = checkHandle(handle); !kind) {
        ::CloseHandle(handle);
        return kind.fault();
    }
    // The C runtime's descriptor writes at the end of the file on every write.
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND);
    if (fd < 0) {
        ::CloseHandle(handle);
        return systemFault(errno);
    }
    // Records are bytes: a line break stays one byte.
    ::_setmode(fd, _O_BINARY);
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
                     std::string("no room for a line: ") + std::generic_category().message(ENOSPC)};
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
        problem->text += std::string("; cutting the file back failed: ") +
                         std::generic_category().message(errno);
    return *problem;
}

}  // namespace korvath::platform
