// An image file read once into memory. The checks and the programming loop all work on these
// bytes, so what goes to the controller is exactly what was checked, whatever happens to the
// file on disk meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fault.h"

namespace korvath::image {

/// The most bytes an image may hold: the progress bar counts one step per 141 bytes, rounded,
/// and its maximum is 16-bit (32767 * 141 + 70 still rounds to 32767).
inline constexpr std::uintmax_t kMaxImageBytes = 32767u * 141u + 70u;

/// Line numbers are 16-bit: a longer image is refused as "File too long".
inline constexpr std::int32_t kMaxImageLines = 32767;

class ImageFile {
  public:
    /// Splits `bytes` into lines: CR LF, CR or LF ends a line, and a line end after the last
    /// line does not make a further, empty one.
    ImageFile(std::filesystem::path path, std::string bytes);

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string_view bytes() const { return bytes_; }
    [[nodiscard]] std::int32_t lineCount() const {
        return static_cast<std::int32_t>(lines_.size());
    }
    /// Line `number` (1 for the first) without its line end; empty for a number
    /// outside 1..lineCount().
    [[nodiscard]] std::string_view line(std::int32_t number) const;

  private:
    std::filesystem::path path_;
    std::string bytes_;
    std::vector<std::pair<std::size_t, std::size_t>> lines_;  // offset and length
};

/// Why an image could not be taken from its file.
enum class ReadFailure {
    None,
    Missing,     ///< there is no such file
    Folder,      ///< the path names a folder
    NotRegular,  ///< a device, pipe or socket: refused without reading from it
    Unreadable,  ///< opening or reading failed otherwise (rights, I/O error)
    TooLong,     ///< more than kMaxImageBytes or kMaxImageLines; refused before reading on
};

/// The image, or why it could not be taken: the kind the callers decide on, and the fault
/// whose text is the status shown ("File too long", "Cannot open image file: ...").
struct ImageRead {
    std::shared_ptr<const ImageFile> image;  ///< null unless failure is None
    ReadFailure failure = ReadFailure::None;
    platform::Fault fault{};  ///< its text is empty when the image was read
};

/// Reads the image at `path` once. Only a regular file is read, and its size is judged before
/// a byte of it is: a pipe, a device or a sparse file of gigabytes never stalls the caller.
[[nodiscard]] ImageRead readImage(const std::filesystem::path& path);

/// The bytes of one regular file, read by the platform's adapter (file_bytes_posix.cpp or
/// file_bytes_windows.cpp): at most `limit` bytes, never blocking on a special file.
struct FileBytes {
    std::string bytes;
    ReadFailure failure = ReadFailure::None;
    int error = 0;        ///< errno of an Unreadable failure, 0 when unknown
    bool opened = false;  ///< an Unreadable failure happened after opening (a read failed)
};
[[nodiscard]] FileBytes readFileBytes(const std::filesystem::path& path, std::uintmax_t limit);

}  // namespace korvath::image
