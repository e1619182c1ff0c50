#include "line/image_check.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "image/prescan.h"
#include "line/json_observer.h"
#include "platform/escape.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "platform/stop_signals.h"

namespace korvath::line {

std::string refusalText(const image::Refusal& refusal) {
    const std::string detail = refusal.detail();
    return detail.empty() ? refusal.status : refusal.status + " (" + detail + ")";
}

int exitCodeFor(download::Ending ending, int stopSignal) {
    switch (ending) {
        case download::Ending::Done:
            return kExitDone;
        case download::Ending::ImageRefused:
            return kExitRefused;
        case download::Ending::ImageUnreadable:
            return kExitUsage;
        case download::Ending::Cancelled:
            return platform::cancelledExitCode(stopSignal);
        case download::Ending::NotRun:
        case download::Ending::NoConnection:
        case download::Ending::WrongPassword:
        case download::Ending::EraseFailed:
        case download::Ending::RecordRefused:
        case download::Ending::UnexpectedError:
        case download::Ending::Busy:
            break;
    }
    return kExitFailed;
}

int exitCodeFor(const image::ImageRead& read, const image::ImageCheck* check) {
    if (read.failure == image::ReadFailure::TooLong) return kExitRefused;
    if (!read.image) return kExitUsage;
    return check != nullptr && !check->accepted ? kExitRefused : kExitDone;
}

std::string unreadableReason(const image::ImageRead& read) {
    switch (read.failure) {
        case image::ReadFailure::None:
        case image::ReadFailure::TooLong:
            return {};
        case image::ReadFailure::Missing:
            return "does not exist";
        case image::ReadFailure::Folder:
            return "is a folder, not an image file";
        case image::ReadFailure::NotRegular:
            return "is not a regular file (a device, pipe or socket)";
        case image::ReadFailure::Unreadable:
            break;
    }
    return "cannot be read: " + read.fault.text;
}

CheckedImage checkImageFile(const std::filesystem::path& path) {
    return checkImage(image::readImage(path), path);
}

CheckedImage checkImage(image::ImageRead read, const std::filesystem::path& path) {
    CheckedImage checked;
    checked.read = std::move(read);
    if (checked.read.image)
        checked.check = image::checkImage(*checked.read.image, platform::sha256);
    checked.exitCode = exitCodeFor(checked.read, checked.read.image ? &checked.check : nullptr);
    const std::string name = platform::utf8Text(path);
    if (!checked.read.image) {
        const std::string reason = unreadableReason(checked.read);
        checked.message =
            "image " + name + " " + (reason.empty() ? checked.read.fault.text : reason);
    } else if (!checked.check.accepted) {
        checked.message =
            "image " + name + " refused: " + refusalText(checked.check.refusals.front());
    }
    return checked;
}

}  // namespace korvath::line
