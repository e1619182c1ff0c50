// S-record lines and image files for the image and download tests: records with their right
// checksums, images from a given address up to E7FFC0, and a temporary folder to hold them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace korvath::test {

/// A 140-character data record at `address` whose data bytes are seed, seed + 1, ... (mod 256).
[[nodiscard]] std::string dataLine(std::uint32_t address, std::uint8_t seed = 0);
/// The same with the given 64 data bytes.
[[nodiscard]] std::string dataLine(std::uint32_t address, const std::vector<std::uint8_t>& data);

inline const std::string kHeaderLine = "S00600004844521B";
inline const std::string kEndLine = "S804E000001B";

/// Header, data records from `first` to E7FFC0 in 64-byte steps, end line.
[[nodiscard]] std::vector<std::string> imageLines(std::uint32_t first = 0xE7F000);

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

    /// Writes `lines`, each followed by `lineEnd`, to file `name` in this folder (`name` may hold
    /// subfolders, which are made). Always in binary: the line ends are exactly `lineEnd`.
    std::filesystem::path write(const std::filesystem::path& name,
                                const std::vector<std::string>& lines,
                                std::string_view lineEnd = "\r\n") const;
    /// Writes `content` exactly as given.
    std::filesystem::path writeRaw(const std::filesystem::path& name,
                                   std::string_view content) const;

  private:
    std::filesystem::path path_;
};

}  // namespace korvath::test
