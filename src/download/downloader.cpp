#include "download/downloader.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>

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
    progress_.apply(update);
    phase_ = phase;
    publishProgress();
}

void Downloader::showStep(Count count, int step, int steps) {
    count_ = count;
    step_ = step;
    steps_ = steps;
    publishProgress();
}

void Downloader::publishProgress() {
    const ProgressState& state = progress_.state();
    observer_.showProgress({.done = state.Value,
                            .total = state.Max,
                            .phase = phase_,
                            .count = count_,
                            .step = step_,
                            .steps = steps_});
}

bool Downloader::stopRequested() {
    if (!stop_.stop_requested()) return false;
    outcome_ = Outcome::Cancelled;
    return true;
}

void Downloader::pause(double ms) {
    clock_.pauseMs(ms, stop_);
}

void Downloader::fail(Outcome outcome, std::string_view text) {
    outcome_ = outcome;
    showStatus(text, Severity::Error);
}

bool Downloader::RunDownload(const std::filesystem::path& imagePath) {
    if (!platform::isFullPath(imagePath)) {
        image::ImageRead relative;
        relative.failure = image::ReadFailure::Unreadable;
        relative.message = "Image path is not a full path: " + platform::utf8Text(imagePath);
        return RunDownload(relative);
    }
    // The file is read here, once: everything after works on these bytes.
    return RunDownload(image::ReadImage(imagePath));
}

bool Downloader::RunDownload(const image::ImageRead& image) {
    // The window may call in again from a progress update; one link cannot run two downloads.
    if (running_.exchange(true)) return false;
    outcome_ = Outcome::NotRun;
    model_.reset();
    resetHeard_ = ResetHeard::Nothing;
    exitDue_ = false;
    flash_ = FlashState::Untouched;
    count_ = Count::None;
    step_ = steps_ = 0;
    phase_ = Phase::Connecting;
    bool result = false;
    try {
        result = runSteps(image);
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

bool Downloader::runSteps(const image::ImageRead& read) {
    if (!setUpProgress(read)) return true;
    const image::ImageFile& image = *read.image;
    showStatus(text::Idle);
    showStatus(text::Connecting);
    if (!connect()) {
        if (outcome_ == Outcome::Cancelled) showStatus(text::Cancelled, Severity::Error);
        return true;
    }

    exitDue_ = true;
    updateProgress({.step = 1}, Phase::Connecting);
    showStatus(text::SendingPassword);
    bool result = true;
    bool programmed = false;
    model_ = unlock();
    if (const std::optional<link::Model> model = model_) {
        std::optional<std::int32_t> lastRecordLine = prescan(image, *model);
        if (lastRecordLine && stopRequested()) lastRecordLine.reset();
        if (lastRecordLine) {
            busy_ = true;
            flash_ = FlashState::Incomplete;
            count_ = Count::Sector;
            step_ = 1;
            steps_ = link::protocol::sectorCountFor(link::protocol::number(*model));
            updateProgress({.step = 1}, Phase::Erasing);
            showStatus(text::Erasing);
            if (erase(*model)) {
                programmed = program(image, *model, *lastRecordLine);
                result = programmed;
            }
        }
    }

    // A download cancelled before the password was accepted owes the device no exit frame.
    if (model_ || outcome_ != Outcome::Cancelled) link_.exitProgramming();
    exitDue_ = false;
    if (programmed) {
        flash_ = FlashState::Written;
        showStatus(text::Resetting);
        resetTarget();
        if (outcome_ != Outcome::Cancelled) {
            showStatus(text::Done);
            outcome_ = Outcome::Done;
        }
    }
    if (outcome_ == Outcome::Cancelled) showStatus(text::Cancelled, Severity::Error);
    return result;
}

bool Downloader::setUpProgress(const image::ImageRead& read) {
    if (!read.image) {
        fail(read.failure == image::ReadFailure::TooLong ? Outcome::ImageRefused
                                                         : Outcome::ImageUnreadable,
             read.message.empty() ? std::string("Cannot read image file") : read.message);
        return false;
    }
    // Line numbers and the bar are 16-bit: refuse here, before anything goes to the device.
    const std::uintmax_t maximum = progressMaximum(read.image->bytes().size());
    if (maximum > static_cast<std::uintmax_t>(std::numeric_limits<std::int16_t>::max()) ||
        read.image->lineCount() > image::kMaxImageLines) {
        fail(Outcome::ImageRefused, image::text::FileTooLong);
        return false;
    }
    updateProgress({.value = 0, .min = 0, .max = static_cast<int>(maximum)}, Phase::Connecting);
    return true;
}

bool Downloader::connect() {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (stopRequested()) return false;
        showStep(Count::Probe, attempt + 1, kConnectAttempts);
        if (link_.probe()) return true;
    }
    fail(Outcome::DeviceFailure, text::ConnectionError);
    return false;
}

std::optional<link::Model> Downloader::unlock() {
    for (int attempt = 0; attempt < kPasswordAttempts; ++attempt) {
        if (stopRequested()) return std::nullopt;
        showStep(Count::PasswordRound, attempt + 1, kPasswordAttempts);
        if (const std::optional<link::Model> model = link_.unlock()) return model;
    }
    fail(Outcome::DeviceFailure, text::WrongPassword);
    return std::nullopt;
}

std::optional<std::int32_t> Downloader::prescan(const image::ImageFile& image, link::Model model) {
    const image::PrescanResult result = image::PrescanImage(image, model);
    for (const image::Refusal& refusal : result.refusals) {
        showStatus(refusal.status, Severity::Error);
        observer_.explainStatus(refusal.detail());
    }
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
            if (stopRequested()) return false;
            if (link_.blankCheck(sector) == link::SectorState::Blank) {
                showStatus(withIndex(text::BlankSector, index));
                pause(kSectorPauseMs);
                done = true;
            } else {
                if (stopRequested()) return false;
                showStatus(withIndex(text::ErasingSector, index));
                done = link_.erase(sector) == link::Answer::Accepted;
                // Only the first erase of a sector is given time to settle.
                if (!paused) {
                    paused = true;
                    pause(kSectorPauseMs);
                }
            }
        }
        if (stopRequested()) return false;
        if (!done) {
            fail(Outcome::DeviceFailure, text::EraseFailed);
            return false;
        }
        // The report after a sector names the one now being worked on.
        step_ = std::min(index + 2, sectors);
        updateProgress({.step = 1}, Phase::Erasing);
    }
    return true;
}

bool Downloader::program(const image::ImageFile& image, link::Model model,
                         std::int32_t lastRecordLine) {
    showStatus(text::Programming);
    int sent = 0;
    count_ = Count::Record;
    step_ = 0;
    steps_ = lastRecordLine - 1;  // the lines after the header up to it

    // The pre-scan judged every line from the header to the last record: these very bytes.
    const bool moveLastRecord = model == kModelMovingLastRecord;
    for (std::int32_t lineNumber = 2; lineNumber <= lastRecordLine; ++lineNumber) {
        std::string line(image.line(lineNumber));
        if (moveLastRecord && lineNumber == lastRecordLine) line[kLastRecordMoveIndex] = '8';
        if (stopRequested()) return false;
        if (link_.program(image::dataRecord(line)) != link::Answer::Accepted) {
            fail(Outcome::DeviceFailure, text::FlashError);
            return false;
        }
        step_ = ++sent;
        updateProgress({.step = 1}, Phase::Programming);
    }
    return true;
}

void Downloader::resetTarget() {
    count_ = Count::Second;
    step_ = 0;
    steps_ = kResetSeconds;
    updateProgress({.value = 0, .min = 0, .max = kResetSeconds}, Phase::Resetting);
    if (resetWatch_ == ResetWatch::EverySecond) {
        resetWatchingEverySecond();
        return;
    }
    for (int second = 0; second < kResetSeconds; ++second) {
        step_ = second + 1;
        updateProgress({.step = 1}, Phase::Resetting);
        pause(kResetStepMs);
        if (stopRequested()) return;
    }
    if (!link_.probe()) {
        resetHeard_ = ResetHeard::Silence;
        return;
    }
    askToRemoveCard();
}

void Downloader::askToRemoveCard() {
    resetHeard_ = ResetHeard::CardStillIn;
    // A controller still answering has its programming card plugged in.
    observer_.askToRemoveProgrammingCard();
    link_.exitProgramming();
    // A stop asked for while the question was up cancels the download as anywhere else.
    stopRequested();
}

void Downloader::resetWatchingEverySecond() {
    // Probes at 0, 1, ... 8 s: the first one catches the silence of a controller that restarted
    // at once, so that a unit plugged in half a second later is known for a new one.
    const double start = clock_.nowMs();
    for (int second = 0;; ++second) {
        if (second < kResetSeconds) {
            step_ = second + 1;
            updateProgress({.step = 1}, Phase::Resetting);
        }
        if (!link_.probe()) {
            resetHeard_ = ResetHeard::Silence;
        } else if (resetHeard_ == ResetHeard::Silence) {
            resetHeard_ = ResetHeard::NextUnit;
            step_ = kResetSeconds;
            updateProgress({.value = kResetSeconds}, Phase::Resetting);
            return;
        }
        if (second == kResetSeconds) break;
        pause(start + (second + 1) * kResetStepMs - clock_.nowMs());
        if (stopRequested()) return;
    }
    if (resetHeard_ != ResetHeard::Silence) askToRemoveCard();
}

}  // namespace korvath::download
