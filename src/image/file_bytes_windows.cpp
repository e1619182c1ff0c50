// Reading an image file on Windows: the file system says what the path names before it is
// opened, and only a regular file is read.
#include <cerrno>
#include <fstream>
#include <system_error>
#include <utility>

#include "image/image_file.h"

namespace korvath::image {

FileBytes readFileBytes(const std::filesystem::path& path, std::uintmax_t limit) {
    FileBytes result;
    const auto fail = [&result](ReadFailure failure, int error, bool opened) {
        result.bytes.clear();
        result.failure = failure;
        result.error = error;
        result.opened = opened;
        return std::move(result);
    };
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found)
        return fail(ReadFailure::Missing, ENOENT, false);
    if (ec) return fail(ReadFailure::Unreadable, ec.value(), false);
    if (status.type() == std::filesystem::file_type::directory)
        return fail(ReadFailure::Folder, 0, false);
    if (status.type() != std::filesystem::file_type::regular)
        return fail(ReadFailure::NotRegular, 0, false);
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) return fail(ReadFailure::Unreadable, ec.value(), false);
    if (size > limit) return fail(ReadFailure::TooLong, 0, false);

    errno = 0;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return fail(ReadFailure::Unreadable, errno, false);
    // One byte past the limit tells a file that grew while it was read.
    result.bytes.resize(static_cast<std::size_t>(limit) + 1);
    in.read(result.bytes.data(), static_cast<std::streamsize>(result.bytes.size()));
    if (in.bad()) return fail(ReadFailure::Unreadable, errno, true);
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > limit) return fail(ReadFailure::TooLong, 0, true);
    result.bytes.resize(got);
    return result;
}

}  // namespace korvath::image
