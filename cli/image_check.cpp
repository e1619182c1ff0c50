#include "image_check.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "image/prescan.h"
#include "json_observer.h"
#include "platform/escape.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "platform/stop_signals.h"

namespace korvath::cli {

namespace {

std::string hex6(std::uint32_t address) {
    char text[8];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(address));
    return text;
}

std::string refusalText(const image::Refusal& refusal) {
    const std::string detail = refusal.detail();
    return detail.empty() ? refusal.status : refusal.status + " (" + detail + ")";
}

}  // namespace

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
    return checkImage(image::ReadImage(path), path);
}

CheckedImage checkImage(image::ImageRead read, const std::filesystem::path& path) {
    CheckedImage checked;
    checked.read = std::move(read);
    if (checked.read.image)
        checked.check = image::CheckImage(*checked.read.image, platform::sha256);
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

int runCheck(const std::filesystem::path& path, const std::string& shownName, std::FILE* out,
             std::FILE* err, CheckFormat format) {
    using platform::printable;
    const CheckedImage checked = checkImageFile(path);
    const bool json = format == CheckFormat::Json;
    if (checked.read.failure == image::ReadFailure::TooLong) {
        // Refused unread: its size is the one fact known, and the limit it passes.
        std::error_code ec;
        const std::uintmax_t bytes = std::filesystem::file_size(path, ec);
        const std::string why =
            bytes > image::kMaxImageBytes
                ? "more than " + std::to_string(image::kMaxImageBytes) + " bytes"
                : "more than " + std::to_string(image::kMaxImageLines) + " lines";
        const std::string status(image::text::FileTooLong);
        if (json) {
            const Event object{{"image", jsonText(platform::utf8Text(path))},
                               {"bytes", bytes},
                               {"result", "refused"},
                               {"exit", checked.exitCode},
                               {"status", status},
                               {"line", 0},
                               {"reason", why}};
            std::fputs(eventLine(object, std::chrono::system_clock::now()).c_str(), out);
        } else {
            std::fprintf(out, "image: %s\n", printable(platform::utf8Text(path)).c_str());
            std::fprintf(out, "bytes: %ju\n", bytes);
            std::fprintf(out, "result: refused\n");
        }
        std::fflush(out);
        std::fprintf(err, "korvath-cli: image %s refused: %s (%s)\n", printable(shownName).c_str(),
                     status.c_str(), why.c_str());
        return checked.exitCode;
    }
    if (!checked.read.image) {
        const std::string reason = unreadableReason(checked.read);
        const std::string why = reason.empty() ? checked.read.fault.text : reason;
        std::fprintf(err, "korvath-cli: image %s %s\n", printable(shownName).c_str(),
                     printable(why).c_str());
        if (json) {
            const Event object{
                {"image", jsonText(platform::utf8Text(path))},
                {"result", checked.exitCode == kExitRefused ? "refused" : "unreadable"},
                {"exit", checked.exitCode},
                {"reason", jsonText(why)}};
            std::fputs(eventLine(object, std::chrono::system_clock::now()).c_str(), out);
            std::fflush(out);
        }
        return checked.exitCode;
    }
    const image::ImageFacts& facts = checked.check.facts;
    std::string models;
    for (const link::Model model : facts.models) {
        if (!models.empty()) models += ' ';
        models += std::to_string(link::protocol::number(model));
    }
    const bool accepted = checked.check.accepted;
    if (json) {
        Event object{{"image", jsonText(platform::utf8Text(path))},
                     {"bytes", facts.bytes},
                     {"lines", facts.lines},
                     {"records", facts.records},
                     {"lowest", facts.records > 0 ? Event(hex6(facts.lowest)) : Event()},
                     {"highest", facts.records > 0 ? Event(hex6(facts.highest)) : Event()},
                     {"kind", facts.kind},
                     {"models", Event::array()},
                     {"sha256", facts.sha256},
                     {"line_seconds", std::round(facts.lineSeconds * 10) / 10},
                     {"erased_records", facts.erasedRecords},
                     {"result", accepted ? "accepted" : "refused"},
                     {"exit", checked.exitCode}};
        for (const link::Model model : facts.models) {
            object["models"].push_back(link::protocol::number(model));
        }
        if (!accepted) {
            const image::Refusal& refusal = checked.check.refusals.front();
            object["status"] = jsonText(refusal.status);
            object["line"] = refusal.line;
            object["reason"] = jsonText(refusal.reason);
        }
        std::fputs(eventLine(std::move(object), std::chrono::system_clock::now()).c_str(), out);
    } else {
        std::fprintf(out, "image: %s\n", printable(platform::utf8Text(path)).c_str());
        std::fprintf(out, "bytes: %ju\n", facts.bytes);
        std::fprintf(out, "lines: %d\n", static_cast<int>(facts.lines));
        std::fprintf(out, "records: %d\n", static_cast<int>(facts.records));
        std::fprintf(out, "lowest: %s\n", facts.records > 0 ? hex6(facts.lowest).c_str() : "-");
        std::fprintf(out, "highest: %s\n", facts.records > 0 ? hex6(facts.highest).c_str() : "-");
        std::fprintf(out, "kind: %d\n", static_cast<int>(facts.kind));
        std::fprintf(out, "models: %s\n", models.empty() ? "-" : models.c_str());
        std::fprintf(out, "sha256: %s\n", facts.sha256.c_str());
        std::fprintf(out, "line_seconds: %.1f\n", facts.lineSeconds);
        std::fprintf(out,
                     "erased_records: %d of %d records are erased-state (0xFF) and would be left "
                     "out with --skip-erased\n",
                     static_cast<int>(facts.erasedRecords), static_cast<int>(facts.records));
        std::fprintf(out, "result: %s\n", accepted ? "accepted" : "refused");
    }
    std::fflush(out);
    if (!accepted) {
        std::fprintf(err, "korvath-cli: image %s refused: %s\n", printable(shownName).c_str(),
                     printable(refusalText(checked.check.refusals.front())).c_str());
    }
    return checked.exitCode;
}

}  // namespace korvath::cli
