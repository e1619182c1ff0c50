// Sequential reading of an image file as text lines: CR LF, CR or LF ends a line. Only a short
// prefix of each line is kept, so a huge or binary file never fills memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvath::image {

class LineReader {
  public:
    /// Characters of a line that are kept. Every image rule is decided within the first 140
    /// characters or on "longer than 140", so a longer line is judged on its prefix exactly as
    /// on the whole line; lastLength() still gives its true length.
    static constexpr std::size_t kMaxKeptChars = 256;

    /// Opens `path` for reading; ok() tells whether that worked.
    explicit LineReader(const std::filesystem::path& path);

    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    /// False once opening or a read has failed; error() then says why, for the user.
    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }

    /// True when every character has been consumed by readLine(), or when the reader failed.
    [[nodiscard]] bool atEnd();

    /// Reads the next line without its line end into `line` (at most kMaxKeptChars of it).
    /// A line end after the last line does not make a further, empty line. False at the end of
    /// the file or on a read failure; `line` is then empty.
    bool readLine(std::string& line);

    /// The true length of the line read last, also when only its prefix was kept.
    [[nodiscard]] std::uint64_t lastLength() const { return lastLength_; }

    void close() { stream_.close(); }

  private:
    /// Makes at least one unread character available; false at the end or on failure.
    bool fill();
    void fail(const std::string& what);

    std::ifstream stream_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
    bool eof_ = false;
    std::uint64_t lastLength_ = 0;
    std::string error_;
};

/// Why a file could not be opened or read, from errno, for a status text.
[[nodiscard]] std::string describeFileError(int errnoValue);

}  // namespace korvath::image
