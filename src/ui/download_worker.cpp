#include "ui/download_worker.h"

#include <filesystem>
#include <utility>

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>

#include "link/link_error.h"
#include "ui/ole_color.h"

namespace korvath::ui {

void WorkerObserver::showStatus(std::string_view text, download::Severity severity) {
    emit worker_.statusShown(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
        severity == download::Severity::Error ? StatusColorError : StatusColorNormal);
}

void WorkerObserver::explainStatus(std::string_view reason) {
    emit worker_.statusExplained(
        QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size())));
}

void WorkerObserver::showProgress(const download::Progress& progress) {
    // The hourglass shows from the erase phase on, once the device is about to be written.
    if (!busyPointer_ && progress.phase != download::Phase::Connecting) {
        busyPointer_ = true;
        emit worker_.busyPointerChanged(true);
    }
    emit worker_.progressChanged(progress.done, progress.total);
    double programmingMs = 0;
    if (progress.phase == download::Phase::Programming) {
        const double now = worker_.clock_.nowMs();
        if (programmingStartMs_ < 0) programmingStartMs_ = now;
        programmingMs = now - programmingStartMs_;
    }
    emit worker_.phaseStepChanged(static_cast<int>(progress.count), progress.step, progress.steps,
                                  programmingMs);
}

void WorkerObserver::askToRemoveProgrammingCard() {
    worker_.askAndWait([this] { emit worker_.programmingCardRequested(); });
}

void WorkerObserver::reportError(int number, const std::string& description) {
    // A failing or babbling controller can report on every exchange; one box per download is
    // enough to tell the user, the status box says how it ended.
    if (errorShown_) return;
    errorShown_ = true;
    const QString text =
        QStringLiteral("%1 - %2").arg(number).arg(QString::fromStdString(description));
    worker_.askAndWait([this, &text] { emit worker_.errorReported(text); });
}

DownloadWorker::DownloadWorker(ports::PortOpener& opener, link::Clock* clock)
    : opener_(opener),
      clock_(clock != nullptr ? *clock : steadyClock_),
      link_(closedPort_, clock_, &observer_),
      observer_(*this),
      downloader_(link_, observer_) {}

DownloadWorker::~DownloadWorker() = default;

void DownloadWorker::openPort(const std::string& text) {
    if (!portOpen()) {
        link_.setPort(closedPort_);
        port_.reset();
        ports::OpenedPort opened = opener_.open(text, clock_);
        if (opened.port && opened.port->isOpen()) {
            port_ = std::move(opened.port);
            link_.setPort(*port_);
        } else {
            emit portOpenFailed(QString::fromStdString(
                opened.error.empty() ? std::string("the port did not open") : opened.error));
        }
    }
    emit portStateChanged(portOpen());
}

void DownloadWorker::closePort() {
    link_.setPort(closedPort_);
    if (port_) port_->close();
    port_.reset();
    emit portStateChanged(false);
}

bool DownloadWorker::portOpen() const {
    return port_ && port_->isOpen();
}

void DownloadWorker::runDownload(const QString& imagePath) {
    // The window shows the port as last reported; a device may have gone away since.
    if (!portOpen()) {
        emit downloadRefused();
        return;
    }
    observer_.beginDownload();
    const download::DownloadResult result =
        downloader_.RunDownload(std::filesystem::path(QFile::encodeName(imagePath).toStdString()));
    emit busyPointerChanged(false);
    // A device that went away during the download closed the port: a green label would tell
    // the technician otherwise.
    emit portStateChanged(portOpen());
    emit downloadFinished(result.outcome == download::Outcome::Done);
}

template <typename Ask>
void DownloadWorker::askAndWait(Ask&& ask) {
    {
        std::lock_guard lock(answerMutex_);
        if (abandoned_) return;
        answered_ = false;
    }
    ask();
    std::unique_lock lock(answerMutex_);
    answerReady_.wait(lock, [this] { return answered_ || abandoned_; });
}

void DownloadWorker::answer() {
    std::lock_guard lock(answerMutex_);
    answered_ = true;
    answerReady_.notify_all();
}

void DownloadWorker::abandon() {
    std::lock_guard lock(answerMutex_);
    abandoned_ = true;
    answerReady_.notify_all();
}

DownloadThread::DownloadThread(ports::PortOpener& opener, link::Clock* clock)
    : worker_(std::make_unique<DownloadWorker>(opener, clock)) {
    thread_.setObjectName(QStringLiteral("download"));
    worker_->moveToThread(&thread_);
    thread_.start();
}

DownloadThread::~DownloadThread() {
    worker_->abandon();
    QThread* const here = QThread::currentThread();
    // The port belongs to the worker's thread: close and destroy it there, then hand the worker
    // back so that it is destroyed on this thread once its own has ended. Its event loop ends
    // right after that, and joining the thread is all that is left.
    QMetaObject::invokeMethod(
        worker_.get(),
        [this, here] {
            worker_->closePort();
            worker_->moveToThread(here);
            thread_.quit();
        },
        Qt::QueuedConnection);
    thread_.wait();
}

void DownloadThread::openPort(const QString& text) {
    QMetaObject::invokeMethod(
        worker_.get(), [this, portText = text.toStdString()] { worker_->openPort(portText); },
        Qt::QueuedConnection);
}

void DownloadThread::closePort() {
    QMetaObject::invokeMethod(
        worker_.get(), [this] { worker_->closePort(); }, Qt::QueuedConnection);
}

void DownloadThread::startDownload(const QString& imagePath) {
    QMetaObject::invokeMethod(
        worker_.get(), [this, imagePath] { worker_->runDownload(imagePath); },
        Qt::QueuedConnection);
}

}  // namespace korvath::ui
