#include "window/download_thread.h"

#include <optional>
#include <utility>

#include "download/progress_text.h"

namespace korvath::window {

namespace {

Severity severityOf(download::Severity severity) {
    return severity == download::Severity::Error ? Severity::Error : Severity::Normal;
}

}  // namespace

/// The download's observer, on the worker thread: every report becomes a Report value.
class DownloadThread::Observer final : public download::DownloadObserver {
  public:
    explicit Observer(DownloadThread& owner) : owner_(owner) {}

    void beginDownload() {
        errorShown_ = false;
        busyPointer_ = false;
        programmingStartMs_ = -1;
        lastRecordShownMs_ = -1;
        heldRecord_.reset();
    }

    void showStatus(std::string_view text, download::Severity severity) override {
        showHeldRecord();
        owner_.post_(StatusReport{std::string(text), severityOf(severity)});
    }

    void explainStatus(std::string_view reason) override {
        owner_.post_(ExplanationReport{std::string(reason)});
    }

    void showProgress(const download::Progress& progress) override {
        // The busy pointer shows from the erase phase on, once the device is about to be written.
        if (!busyPointer_ && progress.phase != download::Phase::Connecting) {
            busyPointer_ = true;
            owner_.post_(BusyPointerReport{true});
        }
        // A record takes about 22 ms; drawing each one costs the window more than the download
        // and tells the eye nothing a tenth of a second would not. A record held back shows
        // with the next status, so the bar ends where the download did.
        heldRecord_.reset();
        if (progress.count == download::Count::Record && progress.step < progress.steps) {
            const double now = owner_.clock_.nowMs();
            if (lastRecordShownMs_ >= 0 && now - lastRecordShownMs_ < kRecordRedrawMs) {
                heldRecord_ = progress;
                return;
            }
            lastRecordShownMs_ = now;
        }
        ProgressReport report;
        // A bar without steps (a tiny image) stays empty rather than turning into a busy
        // indicator; a negative count shows as none.
        if (progress.total > 0) {
            report.max = progress.total;
            report.value = std::clamp(progress.done, 0, progress.total);
        }
        report.tip = tipFor(progress);
        owner_.post_(std::move(report));
    }

    void askToRemoveProgrammingCard() override {
        owner_.ask({Icon::Information, "Programming Card check",
                    "Please remove Programming Card first,\nthen close this window."});
    }

    void reportError(const platform::Fault& fault) override {
        // A failing or babbling controller can report on every exchange; one box per download
        // is enough to tell the user, the status box says how it ended.
        if (errorShown_) return;
        errorShown_ = true;
        owner_.ask({Icon::None, owner_.programName_, fault.shown()});
    }

  private:
    void showHeldRecord() {
        if (!heldRecord_) return;
        const download::Progress held = *heldRecord_;
        lastRecordShownMs_ = -1;
        showProgress(held);
    }

    /// What the phase counts; during programming the records done of the image's total, the
    /// time taken and the time left.
    std::string tipFor(const download::Progress& progress) {
        if (progress.count != download::Count::Record)
            return download::phaseStepText(progress.count, progress.step, progress.steps);
        const double now = owner_.clock_.nowMs();
        if (programmingStartMs_ < 0) programmingStartMs_ = now;
        const double elapsed = (now - programmingStartMs_) / 1000;
        std::string tip = std::to_string(progress.step) + " of " + std::to_string(progress.steps) +
                          " records, " + download::formatDuration(elapsed) + " elapsed";
        if (const auto left = download::secondsLeft(progress.step, progress.steps, elapsed))
            tip += ", " + download::formatDuration(*left) + " left";
        return tip;
    }

    DownloadThread& owner_;
    bool errorShown_ = false;
    bool busyPointer_ = false;
    static constexpr double kRecordRedrawMs = 100;

    double programmingStartMs_ = -1;  // on the download's clock; -1 before programming
    double lastRecordShownMs_ = -1;   // when a record's progress was last posted
    std::optional<download::Progress> heldRecord_;
};

DownloadThread::DownloadThread(ports::PortOpener& opener, link::Clock* clock,
                               std::string programName, std::function<void(Report)> post)
    : opener_(opener),
      clock_(clock != nullptr ? *clock : steadyClock_),
      programName_(std::move(programName)),
      post_(std::move(post)),
      link_(closedPort_, clock_),
      observer_(std::make_unique<Observer>(*this)),
      downloader_(link_, *observer_) {
    link_.setErrorSink(observer_.get());
    thread_ = std::thread([this] { run(); });
}

DownloadThread::~DownloadThread() {
    stop_.request_stop();
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    wake_.notify_all();
    // The port belongs to the worker's thread: it is closed there, after a running download.
    queue([this] { doClose(); });
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void DownloadThread::queue(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void DownloadThread::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void DownloadThread::openPort(std::string text) {
    queue([this, text = std::move(text)] { doOpen(text); });
}

void DownloadThread::closePort() {
    queue([this] { doClose(); });
}

void DownloadThread::download(image::ImageRead image) {
    {
        std::lock_guard lock(mutex_);
        stopPending_ = false;
        downloading_ = true;
    }
    queue([this, image = std::move(image)] { doDownload(image); });
}

void DownloadThread::stopDownload() {
    std::lock_guard lock(mutex_);
    stopPending_ = true;
    runStop_.request_stop();
}

bool DownloadThread::stopForExit(std::chrono::milliseconds deadline) {
    stop_.request_stop();
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    wake_.notify_all();
    return wake_.wait_for(lock, deadline, [this] { return !downloading_; });
}

bool DownloadThread::portOpen() const {
    return port_ && port_->isOpen();
}

void DownloadThread::doOpen(const std::string& text) {
    PortReport report;
    if (!portOpen()) {
        link_.setPort(closedPort_);
        port_.reset();
        platform::Result<ports::OpenedPort> opened = opener_.open(text, clock_);
        if (opened && opened->port->isOpen()) {
            port_ = std::move(opened->port);
            link_.setPort(*port_);
        } else {
            report.opening =
                opened ? platform::Fault{platform::ErrorNumber::DeviceIo, "the port did not open"}
                       : opened.fault();
        }
    }
    report.open = portOpen();
    post_(std::move(report));
}

void DownloadThread::doClose() {
    link_.setPort(closedPort_);
    if (port_) port_->close();
    port_.reset();
    post_(PortReport{});
}

void DownloadThread::doDownload(const image::ImageRead& image) {
    const auto ended = [this] {
        {
            std::lock_guard lock(mutex_);
            downloading_ = false;
        }
        wake_.notify_all();
    };
    // The window shows the port as last reported; a device may have gone away since.
    if (!portOpen()) {
        post_(RefusedReport{});
        ended();
        return;
    }
    {
        // A fresh stop for each download: Stop ends this one, not the next.
        std::lock_guard lock(mutex_);
        runStop_ = std::stop_source();
        if (stopPending_) runStop_.request_stop();
        downloader_.setStopToken(runStop_.get_token());
    }
    // The stop for good reaches the download through its own stop.
    const std::stop_callback forward(stop_.get_token(), [this] {
        std::lock_guard lock(mutex_);
        runStop_.request_stop();
    });
    observer_->beginDownload();
    const download::DownloadResult result = downloader_.runDownload(image);
    post_(BusyPointerReport{false});
    // A device that went away during the download closed the port: the report says so.
    post_(FinishedReport{result.ending, result.flash, result.model.has_value(), result.resetHeard,
                         portOpen()});
    ended();
}

void DownloadThread::ask(Message message) {
    {
        std::lock_guard lock(mutex_);
        if (abandoned_) return;
        answered_ = false;
    }
    post_(BoxReport{std::move(message)});
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return answered_ || abandoned_; });
}

void DownloadThread::answer() {
    {
        std::lock_guard lock(mutex_);
        answered_ = true;
    }
    wake_.notify_all();
}

}  // namespace korvath::window
