// Reading an image file on Windows. A name Windows keeps for a device (NUL, COM6, aux.shx in any
// folder) is refused by its name, before opening it could touch the device; anything else is
// opened and judged by what Windows says the handle is, so only a file on a disk is read.
// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "image/image_file.h"
#include "platform/platform.h"
#include "platform/windows_file_name.h"

namespace korvath::image {

namespace {

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    [[nodiscard]] HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        default:
            return EIO;
    }
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
    if (platform::windows::reservedDeviceName(platform::utf8Text(path)))
        return fail(ReadFailure::NotRegular, 0, false);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found)
        return fail(ReadFailure::Missing, ENOENT, false);
    if (ec) return fail(ReadFailure::Unreadable, ec.value(), false);
    if (status.type() == std::filesystem::file_type::directory)
        return fail(ReadFailure::Folder, 0, false);
    if (status.type() != std::filesystem::file_type::regular)
        return fail(ReadFailure::NotRegular, 0, false);

    const Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const int error = errnoOf(::GetLastError());
        return fail(error == ENOENT ? ReadFailure::Missing : ReadFailure::Unreadable, error, false);
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return fail(ReadFailure::NotRegular, 0, true);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return fail(ReadFailure::Unreadable, EIO, true);
    if (size.QuadPart < 0 || static_cast<std::uintmax_t>(size.QuadPart) > limit)
        return fail(ReadFailure::TooLong, 0, true);

    // The file may still grow while it is read: one byte past the limit tells.
    result.bytes.resize(static_cast<std::size_t>(limit) + 1);
    std::size_t got = 0;
    while (got < result.bytes.size()) {
        const DWORD asked =
            static_cast<DWORD>(std::min<std::size_t>(result.bytes.size() - got, 1 << 20));
        DWORD read = 0;
        if (!::ReadFile(file.get(), result.bytes.data() + got, asked, &read, nullptr))
            return fail(ReadFailure::Unreadable, errnoOf(::GetLastError()), true);
        if (read == 0) break;
        got += read;
    }
    if (got > limit) return fail(ReadFailure::TooLong, 0, true);
    result.bytes.resize(got);
    return result;
}

}  // namespace korvath::image
