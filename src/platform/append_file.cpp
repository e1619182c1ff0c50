#include "platform/append_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace korvath::platform {

namespace {

#if defined(_WIN32)
int openForAppend(const std::filesystem::path& path) {
    return ::_wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
}
long writeOnce(int fd, std::string_view bytes) {
    return ::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
}
int flushToDisk(int fd) {
    return ::_commit(fd);
}
void closeFile(int fd) {
    ::_close(fd);
}
#else
int openForAppend(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}
long writeOnce(int fd, std::string_view bytes) {
    return static_cast<long>(::write(fd, bytes.data(), bytes.size()));
}
int flushToDisk(int fd) {
    return ::fsync(fd);
}
void closeFile(int fd) {
    ::close(fd);
}
#endif

}  // namespace

AppendFile::Opened AppendFile::open(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return {nullptr, "is a folder"};
    const int fd = openForAppend(path);
    if (fd < 0) return {nullptr, std::strerror(errno)};
    return {std::unique_ptr<AppendFile>(new AppendFile(fd)), {}};
}

AppendFile::~AppendFile() {
    closeFile(fd_);
}

std::string AppendFile::append(std::string_view bytes) {
    const std::lock_guard lock(mutex_);
    const long written = writeOnce(fd_, bytes);
    if (written < 0) return std::strerror(errno);
    if (static_cast<std::size_t>(written) != bytes.size()) return "short write";
    if (flushToDisk(fd_) != 0) return std::strerror(errno);
    return {};
}

}  // namespace korvath::platform
