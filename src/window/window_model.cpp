#include "window/window_model.h"

#include <deque>
#include <mutex>
#include <system_error>
#include <type_traits>
#include <utility>

#include "download/downloader.h"
#include "download/progress_text.h"
#include "image/image_file.h"
#include "image/prescan.h"
#include "platform/escape.h"
#include "ports/port_name.h"
#include "window/download_thread.h"

namespace korvath::window {

namespace {

constexpr const char* kPortCheck = "COM port check";
constexpr const char* kFileCheck = "File format check";
constexpr std::size_t kShownDigestLength = 16;  // hex digits of the SHA-256 shown

/// The bytes of `path` as the system keeps them: UTF-8 on Windows, any bytes elsewhere.
std::string bytesOf(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string recordsText(std::int32_t records) {
    return std::to_string(records) + (records == 1 ? " record" : " records");
}

/// What a technician should check when no controller answered, in one sentence for the details
/// line.
std::string connectionChecklist(const std::string& port) {
    std::string text = "No controller answered on " + platform::printable(port) + ". Check that ";
    for (const std::string_view check : download::kConnectionChecks)
        text.append(check).append(", ");
    return text + "and the port is the controller's (the port box lists the ports found).";
}

constexpr const char* kFlashIncomplete =
    "The flash is incomplete: run the download again before using the controller.";

constexpr const char* kCloseQuestion = "A download is running. Stop it and close?";

/// What a cancelled download left in the controller, for the details line.
std::string cancelledText(download::FlashState flash, bool passwordPassed) {
    switch (flash) {
        case download::FlashState::Untouched:
            return passwordPassed ? "Cancelled before erasing: the controller left programming "
                                    "mode and its flash is unchanged."
                                  : "Cancelled before the password was accepted: the "
                                    "controller's flash is unchanged.";
        case download::FlashState::Incomplete:
            return std::string(
                       "Cancelled after erasing began: the controller left programming "
                       "mode. ") +
                   kFlashIncomplete;
        case download::FlashState::Written:
            break;
    }
    return "Cancelled in the reset wait: the image was written completely and the controller "
           "left programming mode.";
}

/// The built-in simulated controller behaves as a real one: once written it restarts into its
/// application and answers no more, so a second download would find nobody.
constexpr const char* kSimulatedRestart =
    "The simulated controller restarted into its application, as a real one does. Close then "
    "Open the port for a fresh one in its bootloader (what power-cycling does with the "
    "programming card in).";

bool simulatedPort(const std::string& text) {
    const auto parsed = ports::parsePortText(text);
    return parsed && parsed->kind == ports::ParsedPort::Kind::Simulated;
}

/// The headline of a box about a file that cannot be chosen.
std::string headlineOf(image::ReadFailure failure) {
    switch (failure) {
        case image::ReadFailure::Missing:
            return "File not found";
        case image::ReadFailure::Folder:
        case image::ReadFailure::NotRegular:
            return "Not a file";
        default:
            return "Wrong file format";
    }
}

bool sameBytes(const image::ImageRead& a, const image::ImageRead& b) {
    return a.image && b.image && a.image->bytes() == b.image->bytes();
}

}  // namespace

std::string quotedPath(const std::filesystem::path& path) {
    std::string escaped;
    for (const char c : bytesOf(path)) {
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    std::string quoted = "\"";
    quoted.append(platform::printable(escaped)).push_back('"');
    return quoted;
}

std::string shownPath(const std::filesystem::path& path) {
    return platform::printable(bytesOf(path));
}

class WindowModel::Impl {
  public:
    explicit Impl(Services services)
        : services_(std::move(services)),
          thread_(std::make_unique<DownloadThread>(
              services_.ports, services_.clock, services_.programName,
              [this](Report report) { post(std::move(report)); })) {
        updateEnabled();
    }

    ~Impl() {
        // Joined before the report queue goes: the thread posts until its very end.
        thread_.reset();
    }

    State state;

    Effects start(const std::optional<std::filesystem::path>& image) {
        remembered_ = services_.settings.load();
        if (!remembered_.portText.empty()) state.portText = remembered_.portText;
        if (image) return load(*image, false);
        std::error_code error;
        if (!remembered_.lastImage.empty() &&
            std::filesystem::is_regular_file(remembered_.lastImage, error)) {
            // A remembered image that has changed into something else is simply not chosen.
            Effects effects = load(remembered_.lastImage, false);
            if (!effects.messages.empty()) return {};
        }
        return {};
    }

    void setPortText(std::string text) { state.portText = std::move(text); }

    Effects openPort() {
        if (state.busy || portPending_) return {};
        if (state.portOpen) return boxed({Icon::Information, kPortCheck, "Port already open!"});
        portPending_ = true;
        openingText_ = state.portText;
        thread_->openPort(openingText_);
        updateEnabled();
        return {};
    }

    Effects closePort() {
        if (state.busy || portPending_) return {};
        portPending_ = true;
        thread_->closePort();
        updateEnabled();
        return {};
    }

    Effects chooseFile() {
        if (state.busy) return {};
        Effects effects;
        showStatus(effects, std::string(download::text::Idle), Severity::Normal);
        effects.dialogAt = dialogStart();
        return effects;
    }

    Effects fileChosen(const std::optional<std::filesystem::path>& path) {
        if (state.busy || !path) return {};
        return load(*path, true);
    }

    Effects dropFile(const std::filesystem::path& path) {
        if (state.busy) return {};
        Effects effects;
        showStatus(effects, std::string(download::text::Idle), Severity::Normal);
        Effects loaded = load(path, false);
        loaded.statusShown = loaded.statusShown || effects.statusShown;
        return loaded;
    }

    Effects download() {
        if (state.busy || portPending_) return {};
        if (!state.portOpen) return boxed({Icon::Warning, kPortCheck, "No serial port defined"});
        if (state.check != FileCheck::Accepted) return {};
        // What is flashed is what the window shows: the file is read once more and its bytes
        // go to the controller only when they are the ones checked. A file replaced since is
        // checked afresh and shown; the next Download sends it.
        image::ImageRead read = image::readImage(state.image);
        if (!sameBytes(read, checked_)) {
            Effects effects;
            applyCheck(std::move(read), effects);
            setNotice(fileDetails_ + "\n" +
                      (state.check == FileCheck::Accepted
                           ? "The file changed since it was checked: nothing was downloaded. "
                             "Download writes it as shown now."
                           : "The file changed since it was checked: nothing was downloaded."));
            updateDetails();
            updateEnabled();
            return effects;
        }
        // Busy from the first step: a second click, a close request or a port command taken
        // from here on must not reach the running download.
        state.busy = true;
        stopping_ = false;
        setNotice({});
        updateDetails();
        thread_->download(std::move(read));
        updateEnabled();
        return {};
    }

    Effects stop() {
        if (!state.busy || stopping_) return {};
        stopping_ = true;
        thread_->stopDownload();
        updateEnabled();
        return {};
    }

    Effects closeRequested() {
        Effects effects;
        if (state.busy) {
            effects.closeQuestion = Message{Icon::Warning, services_.programName, kCloseQuestion};
        } else {
            effects.close = true;
        }
        return effects;
    }

    Effects closeAnswered(bool stopIt) {
        if (!stopIt) return {};
        Effects effects;
        if (!state.busy) {
            effects.close = true;
            return effects;
        }
        closeWhenDone_ = true;
        stop();
        return effects;
    }

    bool stopForExit(std::chrono::milliseconds deadline) { return thread_->stopForExit(deadline); }

    std::optional<Effects> poll() {
        Report report;
        {
            std::lock_guard lock(reportsMutex_);
            if (reports_.empty()) return std::nullopt;
            report = std::move(reports_.front());
            reports_.pop_front();
        }
        Effects effects;
        std::visit([this, &effects](auto& r) { apply(effects, r); }, report);
        updateEnabled();
        return effects;
    }

    void answer() { thread_->answer(); }

  private:
    void post(Report report) {
        {
            std::lock_guard lock(reportsMutex_);
            reports_.push_back(std::move(report));
        }
        services_.face.wake();
    }

    static Effects boxed(Message message) {
        Effects effects;
        effects.messages.push_back(std::move(message));
        return effects;
    }

    void showStatus(Effects& effects, std::string text, Severity severity) {
        statusShowsPortError_ = false;
        state.status = std::move(text);
        state.severity = severity;
        effects.statusShown = true;
    }

    void updateEnabled() {
        const bool idle = !state.busy;
        const bool portSettled = idle && !portPending_;
        state.enabled.portBox = idle;
        state.enabled.openPort = portSettled && !state.portOpen;
        state.enabled.closePort = portSettled && state.portOpen;
        state.enabled.chooseFile = idle;
        state.enabled.download =
            portSettled && state.portOpen && state.check == FileCheck::Accepted;
        state.enabled.stop = state.busy && !stopping_;
    }

    void setNotice(std::string text) {
        notice_ = std::move(text);
        noticeShowsPortError_ = false;
    }

    /// The details line says what matters most now: a notice about the last port command or
    /// download, else what is known about the chosen file.
    void updateDetails() { state.details = notice_.empty() ? fileDetails_ : notice_; }

    void remember() { services_.settings.save(remembered_); }

    /// The file confirmed last (also a refused one), else the remembered folder.
    std::filesystem::path dialogStart() const {
        if (!lastConfirmed_.empty()) return lastConfirmed_;
        return remembered_.imageFolder;
    }

    /// Chooses the file at `path` when its first line is an image header, and checks it at
    /// once. A file that is no image leaves the chosen file as it was.
    Effects load(const std::filesystem::path& given, bool fromDialog) {
        // The download takes full paths only; `korvath FILE` may name one relative to here.
        std::filesystem::path path = given;
        std::error_code error;
        if (given.is_relative()) {
            const std::filesystem::path full = std::filesystem::absolute(given, error);
            if (!error) path = full.lexically_normal();
        }
        lastConfirmed_ = path;
        if (path.has_parent_path()) {
            remembered_.imageFolder = path.parent_path();
            remember();
        }
        image::ImageRead read = image::readImage(path);
        const bool header =
            read.image ? read.image->line(1).starts_with("S0")
                       : read.failure == image::ReadFailure::TooLong && image::hasImageHeader(path);
        if (!header) {
            const std::string headline = headlineOf(read.failure);
            std::string text = headline + "\n\n" + quotedPath(path) + "\n";
            if (read.failure == image::ReadFailure::Missing) {
                text += "There is no file by this name.";
            } else if (read.failure == image::ReadFailure::Folder ||
                       read.failure == image::ReadFailure::NotRegular) {
                text += "This is a folder or a device, not an image file.";
            } else if (read.image || read.failure == image::ReadFailure::TooLong) {
                text += "Expected an image whose first line begins with S0.";
            } else {
                text +=
                    "Expected an image whose first line begins with S0; this file cannot "
                    "be read: " +
                    read.fault.text;
            }
            Effects effects = boxed({Icon::Warning, kFileCheck, std::move(text)});
            if (fromDialog) effects.dialogAt = path;
            return effects;
        }

        Effects effects;
        state.image = path;
        state.fileName = shownPath(path.filename());
        remembered_.lastImage = path;
        remember();
        setNotice({});
        applyCheck(std::move(read), effects);
        updateDetails();
        updateEnabled();
        return effects;
    }

    /// Shows what the image check says of `read`, the chosen file's content, and keeps it as
    /// the content a download may send.
    void applyCheck(image::ImageRead read, Effects& effects) {
        const std::string where = shownPath(state.image);
        if (!read.image) {
            state.check = FileCheck::Refused;
            state.fileTip = where;
            fileDetails_ = where + "\n" + read.fault.text;
            showStatus(effects, read.fault.text, Severity::Error);
        } else {
            const image::ImageCheck check = image::checkImage(*read.image, services_.sha256);
            std::string facts = recordsText(check.facts.records);
            if (!check.facts.sha256.empty())
                facts += ", SHA-256 " + check.facts.sha256.substr(0, kShownDigestLength);
            state.fileTip = where + "\n" + facts;
            if (check.accepted) {
                state.check = FileCheck::Accepted;
                fileDetails_ = state.fileTip;
            } else {
                const image::Refusal& refusal = check.refusals.front();
                state.check = FileCheck::Refused;
                fileDetails_ = where + "\n" + refusal.detail();
                showStatus(effects, refusal.status, Severity::Error);
            }
        }
        if (state.check == FileCheck::Refused) {
            // A bar left full beside a refusal would read as a download that worked.
            state.barValue = 0;
            state.barTip.clear();
        }
        checked_ = std::move(read);
    }

    void apply(Effects& effects, StatusReport& report) {
        showStatus(effects, std::move(report.text), report.severity);
    }

    void apply(Effects&, ExplanationReport& report) {
        setNotice(shownPath(state.image) + "\n" + report.reason);
        updateDetails();
    }

    void apply(Effects&, ProgressReport& report) {
        state.barValue = report.value;
        state.barMax = report.max;
        state.barTip = std::move(report.tip);
    }

    void apply(Effects&, BusyPointerReport& report) { state.busyPointer = report.busy; }

    void apply(Effects& effects, BoxReport& report) {
        effects.messages.push_back(std::move(report.message));
        effects.awaitsAnswer = true;
    }

    void apply(Effects& effects, PortReport& report) {
        portPending_ = false;
        state.portOpen = report.open;
        effects.portReported = true;
        if (!report.opening) {
            // The status box is too narrow for a whole reason: the details line has it all.
            const std::string& reason = report.opening.fault().text;
            state.portError = reason;
            setNotice(reason);
            noticeShowsPortError_ = true;
            showStatus(effects, reason, Severity::Error);
            statusShowsPortError_ = true;
            effects.beep = true;
        } else if (report.open) {
            if (statusShowsPortError_)
                showStatus(effects, std::string(download::text::Idle), Severity::Normal);
            if (noticeShowsPortError_) setNotice({});
            state.portError.clear();
            remembered_.portText = openingText_;
            remember();
        }
        updateDetails();
    }

    void apply(Effects& effects, RefusedReport&) {
        state.busy = false;
        state.portOpen = false;
        effects.portReported = true;
        effects.messages.push_back({Icon::Warning, kPortCheck, "No serial port defined"});
    }

    void apply(Effects& effects, FinishedReport& report) {
        state.busy = false;
        state.busyPointer = false;
        state.portOpen = report.portOpen;
        effects.portReported = true;
        effects.beep = true;
        state.lastEnding = report.ending;
        if (report.ending == download::Ending::Done) {
            setNotice({});
            if (report.resetHeard == download::ResetHeard::Silence && simulatedPort(openingText_))
                setNotice(kSimulatedRestart);
        } else if (report.ending == download::Ending::Cancelled) {
            setNotice(cancelledText(report.flash, report.passwordPassed));
        } else if (report.ending == download::Ending::NoConnection) {
            setNotice(connectionChecklist(openingText_.empty() ? state.portText : openingText_));
        } else if (report.flash == download::FlashState::Incomplete) {
            setNotice(kFlashIncomplete);
        }
        updateDetails();
        stopping_ = false;
        if (closeWhenDone_) effects.close = true;
        closeWhenDone_ = false;
    }

    Services services_;
    Remembered remembered_;
    bool portPending_ = false;
    std::string openingText_;
    std::filesystem::path lastConfirmed_;
    std::string fileDetails_;
    std::string notice_;
    /// The status box and the notice still show the port's failure to open: a port that opens
    /// later takes it back.
    bool statusShowsPortError_ = false;
    bool noticeShowsPortError_ = false;
    /// The content of the chosen file as checked: what a download sends.
    image::ImageRead checked_;
    bool stopping_ = false;
    bool closeWhenDone_ = false;

    std::mutex reportsMutex_;
    std::deque<Report> reports_;
    std::unique_ptr<DownloadThread> thread_;  // last: it posts into the members above
};

WindowModel::WindowModel(Services services) : impl_(std::make_unique<Impl>(std::move(services))) {}

WindowModel::~WindowModel() = default;

const State& WindowModel::state() const {
    return impl_->state;
}

Effects WindowModel::start(const std::optional<std::filesystem::path>& image) {
    return impl_->start(image);
}

void WindowModel::setPortText(std::string text) {
    impl_->setPortText(std::move(text));
}

Effects WindowModel::openPort() {
    return impl_->openPort();
}

Effects WindowModel::closePort() {
    return impl_->closePort();
}

Effects WindowModel::chooseFile() {
    return impl_->chooseFile();
}

Effects WindowModel::fileChosen(const std::optional<std::filesystem::path>& path) {
    return impl_->fileChosen(path);
}

Effects WindowModel::dropFile(const std::filesystem::path& path) {
    return impl_->dropFile(path);
}

Effects WindowModel::download() {
    return impl_->download();
}

Effects WindowModel::stop() {
    return impl_->stop();
}

bool WindowModel::mayClose() const {
    return !impl_->state.busy;
}

Effects WindowModel::closeRequested() {
    return impl_->closeRequested();
}

Effects WindowModel::closeAnswered(bool stopIt) {
    return impl_->closeAnswered(stopIt);
}

bool WindowModel::stopForExit(std::chrono::milliseconds deadline) {
    return impl_->stopForExit(deadline);
}

std::optional<Effects> WindowModel::poll() {
    return impl_->poll();
}

void WindowModel::answer() {
    impl_->answer();
}

}  // namespace korvath::window
