#include "image/line_reader.h"

#include <cerrno>
#include <system_error>

namespace korvath::image {

namespace {
constexpr std::size_t kChunkBytes = 64 * 1024;
}

std::string describeFileError(int errnoValue) {
    if (errnoValue == 0) return "unknown error";
    return std::generic_category().message(errnoValue);
}

LineReader::LineReader(const std::filesystem::path& path) : buffer_(kChunkBytes) {
    errno = 0;
    stream_.open(path, std::ios::in | std::ios::binary);
    if (!stream_.is_open()) fail("Cannot open image file: " + describeFileError(errno));
}

void LineReader::fail(const std::string& what) {
    if (error_.empty()) error_ = what;
    eof_ = true;
    pos_ = size_ = 0;
}

bool LineReader::fill() {
    if (pos_ < size_) return true;
    if (eof_) return false;
    errno = 0;
    stream_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    if (stream_.bad()) {
        fail("Cannot read image file: " + describeFileError(errno));
        return false;
    }
    pos_ = 0;
    size_ = static_cast<std::size_t>(stream_.gcount());
    if (size_ < buffer_.size()) eof_ = true;
    return size_ > 0;
}

bool LineReader::atEnd() {
    return !fill();
}

bool LineReader::readLine(std::string& line) {
    line.clear();
    lastLength_ = 0;
    if (!fill()) return false;
    while (fill()) {
        const char c = buffer_[pos_++];
        if (c == '\n') break;
        if (c == '\r') {
            // CR LF is one line end; a CR alone ends the line too.
            if (fill() && buffer_[pos_] == '\n') ++pos_;
            break;
        }
        if (line.size() < kMaxKeptChars) line.push_back(c);
        ++lastLength_;
    }
    // Running out of characters ends the last line; a read failure loses it.
    if (!ok()) {
        line.clear();
        lastLength_ = 0;
        return false;
    }
    return true;
}

}  // namespace korvath::image
