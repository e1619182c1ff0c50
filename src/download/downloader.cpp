#include "download/downloader.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "image/line_reader.h"
#include "image/prescan.h"
#include "image/record.h"
#include "link/protocol.h"
#include "platform/platform.h"

namespace korvath::download {

namespace {

// The sixth character of "S244E7FFC0": changing it to '8' moves the record to E8FFC0.
constexpr std::size_t kLastRecordMoveIndex = 5;
constexpr link::Model kModelMovingLastRecord = link::Model::M3;

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

void Downloader::showStatus(std::string_view text, Severity severity) {
    observer_.showStatus(text, severity);
}

void Downloader::updateProgress(const ProgressUpdate& update, Phase phase) {
    const ProgressState& state = progress_.apply(update);
    observer_.showProgress({.done = state.Value, .total = state.Max, .phase = phase});
}

void Downloader::fail(Outcome outcome, std::string_view text) {
    outcome_ = outcome;
    showStatus(text, Severity::Error);
}

bool Downloader::RunDownload(const std::filesystem::path& imagePath) {
    // The window may call in again from a progress update; one link cannot run two downloads.
    if (running_.exchange(true)) return false;
    outcome_ = Outcome::NotRun;
    model_.reset();
    exitDue_ = false;
    bool result = false;
    try {
        result = runSteps(imagePath);
    } catch (const std::exception& e) {
        stopAfterError(e.what());
    } catch (...) {
        stopAfterError("unknown error");
    }
    busy_ = false;
    running_ = false;
    return result;
}

void Downloader::stopAfterError(const std::string& what) {
    ignoringErrors([&] { fail(Outcome::DeviceFailure, "Download stopped: " + what); });
    if (exitDue_) ignoringErrors([this] { link_.exitProgramming(); });
}

bool Downloader::runSteps(const std::filesystem::path& imagePath) {
    if (!setUpProgress(imagePath)) return true;
    showStatus(text::Idle);
    showStatus(text::Connecting);
    if (!connect()) return true;

    exitDue_ = true;
    updateProgress({.step = 1}, Phase::Connecting);
    showStatus(text::SendingPassword);
    bool result = true;
    bool programmed = false;
    model_ = unlock();
    if (const std::optional<link::Model> model = model_) {
        if (const std::optional<std::int32_t> lastRecordLine = prescan(imagePath, *model)) {
            busy_ = true;
            updateProgress({.step = 1}, Phase::Erasing);
            showStatus(text::Erasing);
            if (erase(*model)) {
                programmed = program(imagePath, *model, *lastRecordLine);
                result = programmed;
            }
        }
    }

    link_.exitProgramming();
    exitDue_ = false;
    if (programmed) {
        showStatus(text::Resetting);
        resetTarget();
        showStatus(text::Done);
        outcome_ = Outcome::Done;
    }
    return result;
}

bool Downloader::setUpProgress(const std::filesystem::path& imagePath) {
    if (!platform::isFullPath(imagePath)) {
        fail(Outcome::ImageRefused,
             "Image path is not a full path: " + platform::utf8Text(imagePath));
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
    updateProgress({.value = 0, .min = 0, .max = static_cast<int>(maximum)}, Phase::Connecting);
    return true;
}

bool Downloader::connect() {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (link_.probe()) return true;
    }
    fail(Outcome::DeviceFailure, text::ConnectionError);
    return false;
}

std::optional<link::Model> Downloader::unlock() {
    for (int attempt = 0; attempt < kPasswordAttempts; ++attempt) {
        if (const std::optional<link::Model> model = link_.unlock()) return model;
    }
    fail(Outcome::DeviceFailure, text::WrongPassword);
    return std::nullopt;
}

std::optional<std::int32_t> Downloader::prescan(const std::filesystem::path& imagePath,
                                                link::Model model) {
    const image::PrescanResult result = image::PrescanImage(imagePath, model);
    for (const std::string& refusal : result.refusals) showStatus(refusal, Severity::Error);
    if (result.accepted) return result.lastRecordLine;
    outcome_ = Outcome::ImageRefused;
    return std::nullopt;
}

bool Downloader::erase(link::Model model) {
    const int sectors = link::protocol::sectorCountFor(link::protocol::number(model));
    for (int index = 0; index < sectors; ++index) {
        const int sector = link::protocol::sectorNumber(model, index);
        bool done = false;
        bool paused = false;
        for (int pass = 0; pass < kErasePasses && !done; ++pass) {
            if (link_.blankCheck(sector) == link::SectorState::Blank) {
                showStatus(withIndex(text::BlankSector, index));
                clock_.sleepMs(kSectorPauseMs);
                done = true;
            } else {
                showStatus(withIndex(text::ErasingSector, index));
                done = link_.erase(sector) == link::Answer::Accepted;
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
        updateProgress({.step = 1}, Phase::Erasing);
    }
    return true;
}

bool Downloader::program(const std::filesystem::path& imagePath, link::Model model,
                         std::int32_t lastRecordLine) {
    const auto stop = [&](Outcome outcome, std::string_view text) {
        fail(outcome, text);
        return false;
    };

    image::LineReader reader(imagePath);
    std::string line;
    reader.readLine(line);  // the header; the pre-scan has judged it
    if (!reader.ok()) return stop(Outcome::ImageRefused, reader.error());
    showStatus(text::Programming);

    const bool moveLastRecord = model == kModelMovingLastRecord;
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
        if (!image::CheckRecord(line))
            return stop(Outcome::ImageRefused, image::text::ChecksumError);
        if (moveLastRecord && lineNumber == lastRecordLine &&
            image::beginsWith(line, image::kLastRecordPrefix)) {
            line[kLastRecordMoveIndex] = '8';
        }
        if (link_.program(image::dataRecord(line)) != link::Answer::Accepted)
            return stop(Outcome::DeviceFailure, text::FlashError);
        updateProgress({.step = 1}, Phase::Programming);
    }
}

void Downloader::resetTarget() {
    updateProgress({.value = 0, .min = 0, .max = kResetSeconds}, Phase::Resetting);
    for (int second = 0; second < kResetSeconds; ++second) {
        updateProgress({.step = 1}, Phase::Resetting);
        clock_.sleepMs(kResetStepMs);
    }
    if (!link_.probe()) return;
    // A controller still answering has its programming card plugged in.
    observer_.askToRemoveProgrammingCard();
    link_.exitProgramming();
}

}  // namespace korvath::download
