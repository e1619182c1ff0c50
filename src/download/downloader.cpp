#include "download/downloader.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <string>

#include "image/line_reader.h"
#include "image/prescan.h"
#include "image/record.h"
#include "link/protocol.h"

namespace korvath::download {

namespace {

using image::StatusColorError;
using image::StatusColorNormal;

constexpr int kModelMovingLastRecord = 3;
// The sixth character of "S244E7FFC0": changing it to '8' moves the record to E8FFC0.
constexpr std::size_t kLastRecordMoveIndex = 5;

/// The bar's maximum for an image of `bytes`: bytes / 141 to the nearest integer (141 is odd,
/// so there is never a half to round).
std::uintmax_t progressMaximum(std::uintmax_t bytes) {
    return bytes / kBytesPerProgressStep +
           (bytes % kBytesPerProgressStep > kBytesPerProgressStep / 2 ? 1 : 0);
}

/// Runs `action` where a failure has already been reported: a second one must not escape.
template <typename Action>
void ignoringErrors(Action&& action) noexcept {
    try {
        action();
    } catch (...) {
    }
}

std::string withIndex(std::string_view text, int index) {
    return std::string(text) + std::to_string(index);
}

}  // namespace

Downloader::Downloader(link::Link& link, link::Clock& clock, DownloadObserver& observer)
    : link_(link), clock_(clock), observer_(observer) {
    link_.setErrorSink(&observer_);
}

void Downloader::ShowStatus(std::string_view text, image::OleColor colour) {
    observer_.ShowStatus(text, colour);
}

void Downloader::UpdateProgress(const ProgressUpdate& update) {
    observer_.progressChanged(progress_.apply(update));
}

void Downloader::fail(Outcome outcome, std::string_view text) {
    outcome_ = outcome;
    ShowStatus(text, StatusColorError);
}

bool Downloader::RunDownload(const std::filesystem::path& imagePath) {
    // The window may call in again from a progress update; one link cannot run two downloads.
    if (running_.exchange(true)) return false;
    outcome_ = Outcome::NotRun;
    bool exitDue = false;
    bool result = false;
    try {
        result = runSteps(imagePath, exitDue);
    } catch (const std::exception& e) {
        stopAfterError(e.what(), exitDue);
    } catch (...) {
        stopAfterError("unknown error", exitDue);
    }
    ignoringErrors([this] { observer_.setBusyPointer(false); });
    DownloadBusy = false;
    running_ = false;
    return result;
}

void Downloader::stopAfterError(const std::string& what, bool exitDue) {
    ignoringErrors([&] { fail(Outcome::DeviceFailure, "Download stopped: " + what); });
    if (exitDue) ignoringErrors([this] { link_.ExitProgramming(); });
}

bool Downloader::runSteps(const std::filesystem::path& imagePath, bool& exitDue) {
    if (!setUpProgress(imagePath)) return true;
    ShowStatus(text::Idle, StatusColorNormal);
    ShowStatus(text::Connecting, StatusColorNormal);
    if (!connect()) return true;

    exitDue = true;
    UpdateProgress({.step = 1});
    ShowStatus(text::SendingPassword, StatusColorNormal);
    bool result = true;
    bool programmed = false;
    std::int32_t lastRecordLine = 0;
    if (unlock() && prescan(imagePath, lastRecordLine)) {
        DownloadBusy = true;
        observer_.setBusyPointer(true);
        UpdateProgress({.step = 1});
        ShowStatus(text::Erasing, StatusColorNormal);
        if (erase()) programmed = program(imagePath, lastRecordLine, result);
    }

    link_.ExitProgramming();
    exitDue = false;
    if (programmed) {
        ShowStatus(text::Resetting, StatusColorNormal);
        ResetTarget();
        ShowStatus(text::Done, StatusColorNormal);
        outcome_ = Outcome::Done;
    }
    return result;
}

bool Downloader::setUpProgress(const std::filesystem::path& imagePath) {
    if (!imagePath.is_absolute()) {
        fail(Outcome::ImageRefused, "Image path is not a full path: " + imagePath.string());
        return false;
    }
    const image::ImageExtent extent = image::MeasureImage(imagePath, image::kMaxImageLines);
    if (!extent.error.empty()) {
        fail(Outcome::ImageRefused, extent.error);
        return false;
    }
    // Line numbers and the bar are 16-bit: refuse here, before anything goes to the device.
    const std::uintmax_t maximum = progressMaximum(extent.bytes);
    if (maximum > static_cast<std::uintmax_t>(std::numeric_limits<std::int16_t>::max()) ||
        extent.lines > image::kMaxImageLines) {
        fail(Outcome::ImageRefused, image::text::FileTooLong);
        return false;
    }
    UpdateProgress({.value = 0, .min = 0, .max = static_cast<int>(maximum)});
    return true;
}

bool Downloader::connect() {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (link_.ProbeDevice()) return true;
    }
    fail(Outcome::DeviceFailure, text::ConnectionError);
    return false;
}

bool Downloader::unlock() {
    for (int attempt = 0; attempt < kPasswordAttempts; ++attempt) {
        if (link_.SendPassword()) return true;
    }
    fail(Outcome::DeviceFailure, text::WrongPassword);
    return false;
}

bool Downloader::prescan(const std::filesystem::path& imagePath, std::int32_t& lastRecordLine) {
    std::int16_t imageKind = 0;
    lastRecordLine = 0;
    if (image::PrescanImage(imagePath, link_.DeviceModel, imageKind, lastRecordLine, observer_))
        return true;
    outcome_ = Outcome::ImageRefused;
    return false;
}

bool Downloader::erase() {
    const int model = link_.DeviceModel;
    const int sectors = link::protocol::sectorCountFor(model);
    link_.SectorBase = static_cast<std::int16_t>(link::protocol::sectorBaseFor(model));
    for (int index = 0; index < sectors; ++index) {
        bool done = false;
        bool paused = false;
        for (int pass = 0; pass < kErasePasses && !done; ++pass) {
            if (link_.BlankCheckSector(link_.SectorBase + index)) {
                ShowStatus(withIndex(text::BlankSector, index), StatusColorNormal);
                clock_.sleepMs(kSectorPauseMs);
                done = true;
            } else {
                ShowStatus(withIndex(text::ErasingSector, index), StatusColorNormal);
                done = link_.EraseSector(index);
                // Only the first erase of a sector is given time to settle.
                if (!paused) {
                    paused = true;
                    clock_.sleepMs(kSectorPauseMs);
                }
            }
        }
        if (!done) {
            fail(Outcome::DeviceFailure, text::EraseFailed);
            return false;
        }
        UpdateProgress({.step = 1});
    }
    return true;
}

bool Downloader::program(const std::filesystem::path& imagePath, std::int32_t lastRecordLine,
                         bool& result) {
    const auto stop = [&](Outcome outcome, std::string_view text) {
        fail(outcome, text);
        result = false;
        return false;
    };

    image::LineReader reader(imagePath);
    std::string line;
    reader.readLine(line);  // the header; the pre-scan has judged it
    if (!reader.ok()) return stop(Outcome::ImageRefused, reader.error());
    ShowStatus(text::Programming, StatusColorNormal);

    const bool moveLastRecord = link_.DeviceModel == kModelMovingLastRecord;
    std::int32_t lineNumber = 1;
    for (;;) {
        if (!reader.readLine(line)) {
            // The pre-scan saw an end line; a file that ends before it has changed since.
            return stop(Outcome::ImageRefused,
                        reader.ok() ? image::text::UnexpectedEndOfFile : reader.error());
        }
        ++lineNumber;
        const bool lastLine = reader.atEnd();
        if (!reader.ok()) return stop(Outcome::ImageRefused, reader.error());
        if (image::beginsWith(line, image::kEndRecordPrefix) || lastLine) return true;

        if (!image::beginsWith(line, image::kDataRecordPrefix))
            return stop(Outcome::ImageRefused, image::text::UnexpectedRecordLength);
        if (image::CheckRecord(line) != 1)
            return stop(Outcome::ImageRefused, image::text::ChecksumError);
        if (moveLastRecord && lineNumber == lastRecordLine &&
            image::beginsWith(line, image::kLastRecordPrefix)) {
            line[kLastRecordMoveIndex] = '8';
        }
        if (!image::ProgramRecord(line, link_))
            return stop(Outcome::DeviceFailure, text::FlashError);
        UpdateProgress({.step = 1});
    }
}

void Downloader::ResetTarget() {
    UpdateProgress({.value = 0, .min = 0, .max = kResetSeconds});
    for (int second = 0; second < kResetSeconds; ++second) {
        UpdateProgress({.step = 1});
        clock_.sleepMs(kResetStepMs);
    }
    if (!link_.ProbeDevice()) return;
    // A controller still answering has its programming card plugged in.
    observer_.showProgrammingCardMessage();
    link_.ExitProgramming();
}

}  // namespace korvath::download
