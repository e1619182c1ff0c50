#include "download/downloader.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "image/prescan.h"
#include "image/record.h"
#include "link/protocol.h"
#include "platform/platform.h"

namespace korvath::download {

namespace {

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

std::string_view causeName(Cause cause) {
    switch (cause) {
        case Cause::None:
            break;
        case Cause::Refused:
            return "refused";
        case Cause::Garbled:
            return "garbled";
        case Cause::NoReply:
            return "no_reply";
        case Cause::Noise:
            return "noise";
        case Cause::PortLost:
            return "port_lost";
        case Cause::WrongPassword:
            return "wrong_password";
        case Cause::NotConnected:
            return "not_connected";
        case Cause::EraseFailed:
            return "erase_failed";
        case Cause::ImageRefused:
            return "image_refused";
        case Cause::Cancelled:
            return "cancelled";
        case Cause::LogFailed:
            return "log_failed";
    }
    return {};
}

Downloader::Downloader(link::Link& link, DownloadObserver& observer)
    : link_(link), observer_(observer) {}

void Downloader::showStatus(std::string_view text, Severity severity) {
    run_.result.lastStatus.assign(text);
    observer_.showStatus(text, severity);
}

void Downloader::updateProgress(const ProgressUpdate& update, Phase phase) {
    // Every value given to the bar fits in 16 bits: setUpProgress refused any longer image.
    if (const platform::Result<ProgressState> applied = progress_.apply(update); !applied)
        throw std::logic_error(applied.fault().text);
    run_.phase = phase;
    publishProgress();
}

void Downloader::showStep(Count count, int step, int steps) {
    run_.count = count;
    run_.step = step;
    run_.steps = steps;
    publishProgress();
}

void Downloader::publishProgress() {
    const ProgressState& state = progress_.state();
    observer_.showProgress({.done = state.value,
                            .total = state.max,
                            .phase = run_.phase,
                            .count = run_.count,
                            .step = run_.step,
                            .steps = run_.steps});
}

bool Downloader::stopRequested() {
    if (!stop_.stop_requested()) return false;
    run_.result.ending = Ending::Cancelled;
    run_.result.cause = Cause::Cancelled;
    return true;
}

void Downloader::blameLine(Cause answered) {
    const link::ExchangeResult& last = link_.lastExchange();
    DownloadResult& result = run_.result;
    result.reply = last.reply;
    switch (link::heardOf(last)) {
        case link::Heard::Ack:
        case link::Heard::Nak:
            result.cause = answered;
            return;
        case link::Heard::Other:
            result.cause = Cause::Garbled;
            return;
        case link::Heard::Nothing:
            result.cause = Cause::NoReply;
            return;
        case link::Heard::Noise:
            result.cause = Cause::Noise;
            return;
        case link::Heard::PortLost:
            result.cause = Cause::PortLost;
            return;
    }
}

void Downloader::pause(double ms) {
    link_.clock().pauseMs(ms, stop_);
}

void Downloader::fail(Ending ending, std::string_view text) {
    run_.result.ending = ending;
    switch (ending) {
        case Ending::NoConnection:
            blameLine(Cause::NotConnected);
            // Probes that met silence throughout: no controller there at all.
            if (run_.result.cause == Cause::NoReply) run_.result.cause = Cause::NotConnected;
            break;
        case Ending::WrongPassword:
            blameLine(Cause::WrongPassword);
            break;
        case Ending::EraseFailed:
            blameLine(Cause::EraseFailed);
            break;
        case Ending::RecordRefused:
            blameLine(Cause::Refused);
            break;
        case Ending::UnexpectedError:
            // Nothing the controller said explains an error of this program: the port's.
            blameLine(Cause::PortLost);
            break;
        case Ending::ImageUnreadable:
        case Ending::ImageRefused:
            run_.result.cause = Cause::ImageRefused;
            break;
        case Ending::Cancelled:
            run_.result.cause = Cause::Cancelled;
            break;
        case Ending::NotRun:
        case Ending::Done:
        case Ending::Busy:
            break;
    }
    showStatus(text, Severity::Error);
}

DownloadResult Downloader::runDownload(const std::filesystem::path& imagePath) {
    if (!platform::isFullPath(imagePath)) {
        image::ImageRead relative;
        relative.failure = image::ReadFailure::Unreadable;
        relative.fault = {platform::ErrorNumber::InvalidArgument,
                          "Image path is not a full path: " + platform::utf8Text(imagePath)};
        return runDownload(relative);
    }
    // The file is read here, once: everything after works on these bytes.
    return runDownload(image::readImage(imagePath));
}

DownloadResult Downloader::runDownload(const image::ImageRead& image) {
    // The window may call in again from a progress update; one link cannot run two downloads.
    if (running_.exchange(true)) {
        DownloadResult busy;
        busy.ending = Ending::Busy;
        return busy;
    }
    run_ = Run{};
    try {
        runSteps(image);
    } catch (const std::exception& e) {
        stopAfterError(e.what());
    } catch (...) {
        stopAfterError("unknown error");
    }
    busy_ = false;
    running_ = false;
    return run_.result;
}

void Downloader::stopAfterError(const std::string& what) {
    ignoringErrors([&] { fail(Ending::UnexpectedError, "Download stopped: " + what); });
    if (run_.exitDue) ignoringErrors([this] { link_.exitProgramming(replyTimeoutMs_); });
}

void Downloader::exitProgramming() {
    link_.exitProgramming(replyTimeoutMs_);
    run_.exitDue = false;
}

void Downloader::runSteps(const image::ImageRead& read) {
    if (!setUpProgress(read)) return;
    const image::ImageFile& image = *read.image;
    DownloadResult& result = run_.result;
    showStatus(text::Idle);
    showStatus(text::Connecting);
    if (!connect()) {
        if (result.ending == Ending::Cancelled) showStatus(text::Cancelled, Severity::Error);
        return;
    }

    run_.exitDue = true;
    updateProgress({.step = 1}, Phase::Connecting);
    showStatus(text::SendingPassword);
    bool programmed = false;
    result.model = unlock();
    if (const std::optional<link::Model> model = result.model) {
        std::optional<std::int32_t> lastRecordLine = prescan(image, *model);
        if (lastRecordLine && stopRequested()) lastRecordLine.reset();
        if (lastRecordLine) {
            busy_ = true;
            result.flash = FlashState::Incomplete;
            run_.count = Count::Sector;
            run_.step = 1;
            run_.steps = link::protocol::factsOf(*model).sectorCount;
            updateProgress({.step = 1}, Phase::Erasing);
            showStatus(text::Erasing);
            if (erase(*model)) programmed = program(image, *model, *lastRecordLine);
        }
    }

    // A download cancelled before the password was accepted owes the device no exit frame.
    if (result.model || result.ending != Ending::Cancelled) exitProgramming();
    run_.exitDue = false;
    if (programmed) {
        result.flash = FlashState::Written;
        showStatus(text::Resetting);
        resetTarget();
        if (result.ending != Ending::Cancelled) {
            showStatus(text::Done);
            result.ending = Ending::Done;
        }
    }
    if (result.ending == Ending::Cancelled) showStatus(text::Cancelled, Severity::Error);
}

bool Downloader::setUpProgress(const image::ImageRead& read) {
    if (!read.image) {
        const bool tooLong = read.failure == image::ReadFailure::TooLong;
        fail(tooLong ? Ending::ImageRefused : Ending::ImageUnreadable,
             read.fault.text.empty() ? std::string("Cannot read image file") : read.fault.text);
        return false;
    }
    // Line numbers and the bar are 16-bit: refuse here, before anything goes to the device.
    const std::uintmax_t maximum = progressMaximum(read.image->bytes().size());
    if (maximum > static_cast<std::uintmax_t>(std::numeric_limits<std::int16_t>::max()) ||
        read.image->lineCount() > image::kMaxImageLines) {
        fail(Ending::ImageRefused, image::text::FileTooLong);
        return false;
    }
    updateProgress({.value = 0, .min = 0, .max = static_cast<int>(maximum)}, Phase::Connecting);
    return true;
}

bool Downloader::connect() {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (stopRequested()) return false;
        showStep(Count::Probe, attempt + 1, kConnectAttempts);
        if (link_.probe(replyTimeoutMs_)) return true;
    }
    fail(Ending::NoConnection, text::ConnectionError);
    return false;
}

std::optional<link::Model> Downloader::unlock() {
    replyTimeoutMs_ = link::protocol::kLongReplyTimeoutMs;
    for (int attempt = 0; attempt < kPasswordAttempts; ++attempt) {
        if (stopRequested()) return std::nullopt;
        showStep(Count::PasswordRound, attempt + 1, kPasswordAttempts);
        if (const std::optional<link::Model> model = link_.unlock()) return model;
    }
    fail(Ending::WrongPassword, text::WrongPassword);
    return std::nullopt;
}

std::optional<std::int32_t> Downloader::prescan(const image::ImageFile& image, link::Model model) {
    const image::PrescanResult result = image::prescanImage(image, model);
    for (const image::Refusal& refusal : result.refusals) {
        showStatus(refusal.status, Severity::Error);
        observer_.explainStatus(refusal.detail());
    }
    if (result.accepted) return result.lastRecordLine;
    run_.result.ending = Ending::ImageRefused;
    run_.result.cause = Cause::ImageRefused;
    return std::nullopt;
}

link::SectorState Downloader::blankCheck(int sector) {
    const link::SectorState state = link_.blankCheck(sector);
    replyTimeoutMs_ = link::protocol::kDefaultReplyTimeoutMs;
    return state;
}

link::Answer Downloader::eraseSector(int sector) {
    const link::Answer answer = link_.erase(sector);
    replyTimeoutMs_ = link::protocol::kDefaultReplyTimeoutMs;
    return answer;
}

bool Downloader::erase(link::Model model) {
    const int sectors = link::protocol::factsOf(model).sectorCount;
    run_.erasedSectors.assign(static_cast<std::size_t>(sectors), false);
    for (int index = 0; index < sectors; ++index) {
        const int sector = link::protocol::sectorNumber(model, index);
        bool done = false;
        bool paused = false;
        for (int pass = 0; pass < kErasePasses && !done; ++pass) {
            if (stopRequested()) return false;
            if (blankCheck(sector) == link::SectorState::Blank) {
                showStatus(withIndex(text::BlankSector, index));
                pause(kSectorPauseMs);
                done = true;
            } else {
                if (stopRequested()) return false;
                showStatus(withIndex(text::ErasingSector, index));
                done = eraseSector(sector) == link::Answer::Accepted;
                // Only the first erase of a sector is given time to settle.
                if (!paused) {
                    paused = true;
                    pause(kSectorPauseMs);
                }
            }
        }
        if (stopRequested()) return false;
        if (!done) {
            run_.result.failedSector = index;
            fail(Ending::EraseFailed, text::EraseFailed);
            observer_.explainStatus(
                "sector " + std::to_string(index) + " (number " + std::to_string(sector) +
                ") is neither blank nor erased after " + std::to_string(kErasePasses) + " passes");
            return false;
        }
        run_.erasedSectors[static_cast<std::size_t>(index)] = true;
        // The report after a sector names the one now being worked on.
        run_.step = std::min(index + 2, sectors);
        updateProgress({.step = 1}, Phase::Erasing);
    }
    return true;
}

bool Downloader::leftOut(const link::DataRecord& record) const {
    if (!skipErased_ || !image::isErasedState(record)) return false;
    // Only a sector this download erased or found blank is known to read 0xFF: over any other
    // one the record is sent, whatever it holds.
    const auto erased = [this](std::uint32_t address) {
        if (address < link::protocol::kFlashBase) return false;
        const std::size_t index =
            (address - link::protocol::kFlashBase) / link::protocol::kSectorBytes;
        return index < run_.erasedSectors.size() && run_.erasedSectors[index];
    };
    const auto bytes = static_cast<std::uint32_t>(link::protocol::kRecordDataBytes);
    return erased(record.address) && erased(record.address + bytes - 1);
}

bool Downloader::program(const image::ImageFile& image, link::Model model,
                         std::int32_t lastRecordLine) {
    showStatus(text::Programming);
    // What is left out is known before the first record goes: the count shows what is sent.
    int toSend = lastRecordLine - 1;
    if (skipErased_) {
        toSend = 0;
        for (std::int32_t lineNumber = 2; lineNumber <= lastRecordLine; ++lineNumber) {
            if (lineNumber == lastRecordLine || !leftOut(image::dataRecord(image.line(lineNumber))))
                ++toSend;
        }
    }
    int sent = 0;
    int barBehind = 0;  // records left out since the last report: the bar follows the file
    run_.count = Count::Record;
    run_.step = 0;
    run_.steps = toSend;

    // The pre-scan judged every line from the header to the last record: these very bytes.
    for (std::int32_t lineNumber = 2; lineNumber <= lastRecordLine; ++lineNumber) {
        link::DataRecord record = image::dataRecord(image.line(lineNumber));
        if (lineNumber == lastRecordLine) {
            record.address = link::protocol::lastRecordAddressFor(model);
        } else if (leftOut(record)) {
            ++run_.result.skippedRecords;
            ++barBehind;
            continue;
        }
        if (stopRequested()) return false;
        if (link_.program(record, replyTimeoutMs_) != link::Answer::Accepted) {
            run_.result.refusedLine = lineNumber;
            fail(Ending::RecordRefused, text::FlashError);
            return false;
        }
        run_.step = ++sent;
        updateProgress({.step = 1 + barBehind}, Phase::Programming);
        barBehind = 0;
    }
    return true;
}

void Downloader::resetTarget() {
    run_.count = Count::Second;
    run_.step = 0;
    run_.steps = kResetSeconds;
    updateProgress({.value = 0, .min = 0, .max = kResetSeconds}, Phase::Resetting);
    if (resetWatch_ == ResetWatch::EverySecond) {
        resetWatchingEverySecond();
        return;
    }
    for (int second = 0; second < kResetSeconds; ++second) {
        run_.step = second + 1;
        updateProgress({.step = 1}, Phase::Resetting);
        pause(kResetStepMs);
        if (stopRequested()) return;
    }
    if (!link_.probe(replyTimeoutMs_)) {
        run_.result.resetHeard = ResetHeard::Silence;
        return;
    }
    askToRemoveCard();
}

void Downloader::askToRemoveCard() {
    run_.result.resetHeard = ResetHeard::CardStillIn;
    // A controller still answering has its programming card plugged in.
    observer_.askToRemoveProgrammingCard();
    exitProgramming();
    // A stop asked for while the question was up cancels the download as anywhere else.
    stopRequested();
}

void Downloader::resetWatchingEverySecond() {
    // Probes at 0, 1, ... 8 s: the first one catches the silence of a controller that restarted
    // at once, so that a unit plugged in half a second later is known for a new one.
    ResetHeard& heard = run_.result.resetHeard;
    const double start = link_.clock().nowMs();
    for (int second = 0;; ++second) {
        if (second < kResetSeconds) {
            run_.step = second + 1;
            updateProgress({.step = 1}, Phase::Resetting);
        }
        if (!link_.probe(replyTimeoutMs_)) {
            heard = ResetHeard::Silence;
        } else if (heard == ResetHeard::Silence) {
            heard = ResetHeard::NextUnit;
            run_.step = kResetSeconds;
            updateProgress({.value = kResetSeconds}, Phase::Resetting);
            return;
        }
        if (second == kResetSeconds) break;
        pause(start + (second + 1) * kResetStepMs - link_.clock().nowMs());
        if (stopRequested()) return;
    }
    if (heard != ResetHeard::Silence) askToRemoveCard();
}

}  // namespace korvath::download
