#include "image/line_reader.h"

#include <algorithm>
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
    // POSIX opens a folder and fails the first read; Windows refuses to open it with "Permission
    // denied", which would send the user looking at file rights. Both are told what it is.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        fail("Cannot read image file: " + describeFileError(EISDIR));
        return;
    }
    // A pipe or a device could block the open or the first read for good.
    const std::filesystem::file_type type = std::filesystem::status(path, ignored).type();
    if (type != std::filesystem::file_type::regular &&
        type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none) {
        fail("Cannot read image file: not a regular file");
        return;
    }
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
    // Running out of characters ends the last line; a read failure loses it.
    while (fill()) {
        const char* const begin = buffer_.data() + pos_;
        const char* const end = buffer_.data() + size_;
        const char* stop = begin;
        while (stop != end && *stop != '\r' && *stop != '\n') ++stop;
        const auto length = static_cast<std::size_t>(stop - begin);
        if (line.size() < kMaxKeptChars)
            line.append(begin, std::min(length, kMaxKeptChars - line.size()));
        lastLength_ += length;
        pos_ += length;
        if (stop == end) continue;
        ++pos_;
        // CR LF is one line end; a CR alone ends the line too.
        if (*stop == '\r' && fill() && buffer_[pos_] == '\n') ++pos_;
        break;
    }
    if (!ok()) {
        line.clear();
        lastLength_ = 0;
        return false;
    }
    return true;
}

}  // namespace korvath::image
