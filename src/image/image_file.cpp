#include "image/image_file.h"

#include <cerrno>
#include <system_error>

namespace korvath::image {

namespace {

/// Why a file could not be opened or read, from errno, for a status text.
std::string describeFileError(int errnoValue) {
    if (errnoValue == 0) return "unknown error";
    return std::generic_category().message(errnoValue);
}

/// The status text of a read failure.
std::string describeText(const FileBytes& read) {
    switch (read.failure) {
        case ReadFailure::None:
            return {};
        case ReadFailure::Missing:
            return "Cannot open image file: " + describeFileError(ENOENT);
        case ReadFailure::Folder:
            return "Cannot read image file: " + describeFileError(EISDIR);
        case ReadFailure::NotRegular:
            return "Cannot read image file: not a regular file";
        case ReadFailure::TooLong:
            return "File too long";
        case ReadFailure::Unreadable:
            break;
    }
    return (read.opened ? "Cannot read image file: " : "Cannot open image file: ") +
           describeFileError(read.error);
}

platform::ErrorNumber numberOf(const FileBytes& read) {
    using platform::ErrorNumber;
    switch (read.failure) {
        case ReadFailure::None:
        case ReadFailure::Unreadable:
            break;
        case ReadFailure::Missing:
            return ErrorNumber::FileNotFound;
        case ReadFailure::Folder:
        case ReadFailure::NotRegular:
            return ErrorNumber::PathFileAccess;
        case ReadFailure::TooLong:
            return ErrorNumber::Overflow;
    }
    return platform::errorNumberOf(read.error);
}

/// A read failure as the fault the caller gets: numbered by its kind, worded for the status.
platform::Fault describe(const FileBytes& read) {
    return {numberOf(read), describeText(read)};
}

}  // namespace

ImageFile::ImageFile(std::filesystem::path path, std::string bytes)
    : path_(std::move(path)), bytes_(std::move(bytes)) {
    std::size_t start = 0;
    const std::size_t size = bytes_.size();
    while (start < size) {
        std::size_t stop = start;
        while (stop < size && bytes_[stop] != '\r' && bytes_[stop] != '\n') ++stop;
        lines_.emplace_back(start, stop - start);
        if (stop == size) break;
        // CR LF is one line end; a CR or an LF alone ends the line too.
        start =
            stop + (bytes_[stop] == '\r' && stop + 1 < size && bytes_[stop + 1] == '\n' ? 2 : 1);
    }
}

std::string_view ImageFile::line(std::int32_t number) const {
    if (number < 1 || number > lineCount()) return {};
    const auto& [offset, length] = lines_[static_cast<std::size_t>(number - 1)];
    return std::string_view(bytes_).substr(offset, length);
}

ImageRead readImage(const std::filesystem::path& path) {
    FileBytes read = readFileBytes(path, kMaxImageBytes);
    ImageRead result;
    if (read.failure != ReadFailure::None) {
        result.failure = read.failure;
        result.fault = describe(read);
        return result;
    }
    auto image = std::make_shared<const ImageFile>(path, std::move(read.bytes));
    if (image->lineCount() > kMaxImageLines) {
        result.failure = ReadFailure::TooLong;
        FileBytes tooLong;
        tooLong.failure = ReadFailure::TooLong;
        result.fault = describe(tooLong);
        return result;
    }
    result.image = std::move(image);
    return result;
}

}  // namespace korvath::image
