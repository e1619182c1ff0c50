#include "ui/download_worker.h"

#include <exception>
#include <filesystem>
#include <type_traits>
#include <utility>

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>

#include "image/status.h"
#include "link/link_error.h"

namespace korvath::ui {

void WorkerObserver::ShowStatus(std::string_view text, image::OleColor colour) {
    emit worker_.statusShown(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                             colour);
}

void WorkerObserver::progressChanged(const download::ProgressState& state) {
    emit worker_.progressChanged(state.Min, state.Max, state.Value);
}

void WorkerObserver::setBusyPointer(bool busy) {
    emit worker_.busyPointerChanged(busy);
}

void WorkerObserver::showProgrammingCardMessage() {
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

DownloadWorker::DownloadWorker(PortOpener& opener, link::Clock* clock)
    : opener_(opener),
      clock_(clock != nullptr ? *clock : steadyClock_),
      link_(closedPort_, clock_),
      observer_(*this),
      downloader_(link_, clock_, observer_) {
    link_.ReplyTimeoutMs = link::protocol::kDefaultReplyTimeoutMs;
}

DownloadWorker::~DownloadWorker() = default;

bool DownloadWorker::openPort(const std::string& text, std::string& error) {
    error.clear();
    if (port_ && port_->isOpen()) return true;
    link_.setPort(closedPort_);
    port_.reset();
    OpenedPort opened = opener_.open(text, clock_);
    if (!opened.port || !opened.port->isOpen()) {
        error = opened.error.empty() ? std::string("the port did not open") : opened.error;
        return false;
    }
    port_ = std::move(opened.port);
    link_.setPort(*port_);
    return true;
}

void DownloadWorker::closePort() {
    link_.setPort(closedPort_);
    if (port_) port_->close();
    port_.reset();
}

bool DownloadWorker::isPortOpen() const {
    return port_ && port_->isOpen();
}

void DownloadWorker::runDownload(const QString& imagePath) {
    observer_.beginDownload();
    bool result = false;
    try {
        result = downloader_.RunDownload(
            std::filesystem::path(QFile::encodeName(imagePath).toStdString()));
    } catch (const link::LinkError& error) {
        // An error the sequence does not handle (an image too long for the progress bar): the
        // download is over, the window must stay usable and say why.
        observer_.ShowStatus(std::to_string(error.number()) + " - " + error.description(),
                             image::StatusColorError);
    } catch (const std::exception& error) {
        observer_.ShowStatus(error.what(), image::StatusColorError);
    }
    downloader_.DownloadBusy = false;
    emit busyPointerChanged(false);
    emit downloadFinished(result);
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

template <typename Fn>
auto DownloadThread::runBlocking(Fn&& fn) {
    using Result = std::invoke_result_t<Fn&>;
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(worker_.get(), std::forward<Fn>(fn),
                                  Qt::BlockingQueuedConnection);
    } else {
        Result result{};
        QMetaObject::invokeMethod(
            worker_.get(), [&result, &fn] { result = fn(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

DownloadThread::DownloadThread(PortOpener& opener, link::Clock* clock)
    : worker_(std::make_unique<DownloadWorker>(opener, clock)) {
    thread_.setObjectName(QStringLiteral("download"));
    worker_->moveToThread(&thread_);
    thread_.start();
}

DownloadThread::~DownloadThread() {
    worker_->abandon();
    QThread* const here = QThread::currentThread();
    // The port belongs to the worker's thread: close and destroy it there, then hand the worker
    // back so that it is destroyed on this thread once its own has ended.
    runBlocking([this, here] {
        worker_->closePort();
        worker_->moveToThread(here);
    });
    thread_.quit();
    thread_.wait();
}

bool DownloadThread::openPort(const QString& text, std::string& error) {
    const std::string portText = text.toStdString();
    return runBlocking([this, &portText, &error] { return worker_->openPort(portText, error); });
}

void DownloadThread::closePort() {
    runBlocking([this] { worker_->closePort(); });
}

bool DownloadThread::isPortOpen() {
    return runBlocking([this] { return worker_->isPortOpen(); });
}

void DownloadThread::startDownload(const QString& imagePath) {
    QMetaObject::invokeMethod(
        worker_.get(), [this, imagePath] { worker_->runDownload(imagePath); },
        Qt::QueuedConnection);
}

}  // namespace korvath::ui
