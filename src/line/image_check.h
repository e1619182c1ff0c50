// The image side of a run: the image read and checked once before any port is touched, why
// it cannot be flashed, and the exit code that tells a script what happened.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "download/downloader.h"
#include "image/check.h"
#include "image/image_file.h"

namespace korvath::line {

inline constexpr int kExitDone = 0;     ///< "Done!", or the image was accepted by --check
inline constexpr int kExitFailed = 1;   ///< the controller or the line failed
inline constexpr int kExitUsage = 2;    ///< usage, an unreadable image, a port not opened
inline constexpr int kExitRefused = 3;  ///< the image was refused

/// The exit code for how a download ended. A cancelled run exits 128 + `stopSignal`, the signal
/// that stopped it (130 for Ctrl-C, 143 for SIGTERM).
[[nodiscard]] int exitCodeFor(download::Ending ending, int stopSignal);

/// The exit code for an image check: 0 accepted, 2 not read (missing, folder, not a regular
/// file), 3 refused (a rule, or too long).
[[nodiscard]] int exitCodeFor(const image::ImageRead& read, const image::ImageCheck* check);

/// Why `read` failed, as the end of "image NAME ...": "does not exist", "is a folder, not an
/// image file", "is not a regular file (a device, pipe or socket)", "cannot be read: ...".
/// Empty for a file that was read, and for one refused as too long, which the download reports.
[[nodiscard]] std::string unreadableReason(const image::ImageRead& read);

/// Everything a run over several ports needs before opening any: the image read once and
/// checked once. `exitCode` is 0 when the image may be flashed; otherwise it tells why not and
/// `message` says it for standard error.
struct CheckedImage {
    image::ImageRead read;
    image::ImageCheck check{};
    int exitCode = kExitDone;
    std::string message{};
};
/// "STATUS (detail)": a refusal as standard error tells it.
[[nodiscard]] std::string refusalText(const image::Refusal& refusal);

[[nodiscard]] CheckedImage checkImageFile(const std::filesystem::path& path);
/// The same for an image already read from `path`, so that it is not read a second time.
[[nodiscard]] CheckedImage checkImage(image::ImageRead read, const std::filesystem::path& path);

}  // namespace korvath::line
