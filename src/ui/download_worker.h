// The download thread: the port, the link, the clock and the downloader live on one worker
// thread, and their reports reach the window as queued signals, in order. The window only
// asks for things (open, close, download) and draws what comes back.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <QObject>
#include <QString>
#include <QThread>

#include "download/downloader.h"
#include "download/observer.h"
#include "link/clock.h"
#include "link/link.h"
#include "link/port.h"
#include "ports/port_opener.h"

namespace korvath::ui {

class DownloadWorker;

/// The download's observer, on the worker thread: every report becomes a signal of the worker,
/// with the window's colours and busy pointer. The programming-card message and the first
/// error of a download wait for the window's answer.
class WorkerObserver final : public download::DownloadObserver {
  public:
    explicit WorkerObserver(DownloadWorker& worker) : worker_(worker) {}

    /// A new download starts: its first error will be shown again.
    void beginDownload() {
        errorShown_ = false;
        busyPointer_ = false;
        programmingStartMs_ = -1;
    }

    void showStatus(std::string_view text, download::Severity severity) override;
    void explainStatus(std::string_view reason) override;
    void showProgress(const download::Progress& progress) override;
    void askToRemoveProgrammingCard() override;
    void reportError(int number, const std::string& description) override;

  private:
    DownloadWorker& worker_;
    bool errorShown_ = false;
    bool busyPointer_ = false;
    double programmingStartMs_ = -1;  // on the download's clock; -1 before programming
};

/// Lives on the download thread. Every member function except answer() and abandon() must run
/// there; DownloadThread takes care of that.
class DownloadWorker : public QObject {
    Q_OBJECT

  public:
    /// `clock` null: the worker keeps its own wall clock. Otherwise it must outlive the worker.
    explicit DownloadWorker(ports::PortOpener& opener, link::Clock* clock = nullptr);
    ~DownloadWorker() override;

    /// Opens the port `text` names unless one is open, then reports the port state; a failed
    /// open reports why before that.
    void openPort(const std::string& text);
    /// Closes the port and reports the port state.
    void closePort();

    /// Runs one whole download; downloadFinished() follows every other report of it. With no
    /// port open there is no download, only downloadRefused().
    void runDownload(const QString& imagePath);

    /// The window closed the box that the download waits for. Any thread.
    void answer();
    /// Nobody will answer again (the window is going away): boxes no longer wait. Any thread.
    void abandon();

  signals:
    void statusShown(const QString& text, quint32 colour);
    /// Why the status just shown came about ("line N: reason"), for its tool tip.
    void statusExplained(const QString& reason);
    /// The bar stands at `done` of `total`.
    void progressChanged(int done, int total);
    /// Where the phase stands in its own units: `step` of `steps` of what `count` (a
    /// download::Count) counts; `programmingMs` is the programming time so far, else 0.
    void phaseStepChanged(int count, int step, int steps, double programmingMs);
    void busyPointerChanged(bool busy);
    /// The window shows the box, then calls answer().
    void programmingCardRequested();
    void errorReported(const QString& text);
    void downloadFinished(bool result);
    /// A download was asked for with no port open; nothing ran.
    void downloadRefused();
    /// Why the port named by the last open did not open.
    void portOpenFailed(const QString& reason);
    /// The port is open or closed now: after every port command, and after every download
    /// (a device that went away closes the port).
    void portStateChanged(bool open);

  private:
    friend class WorkerObserver;

    /// Emits `ask` and blocks until the window answers or abandons.
    template <typename Ask>
    void askAndWait(Ask&& ask);

    [[nodiscard]] bool portOpen() const;

    ports::PortOpener& opener_;
    link::SteadyClock steadyClock_;
    link::Clock& clock_;
    link::ClosedPort closedPort_;
    std::unique_ptr<link::Port> port_;
    link::Link link_;
    WorkerObserver observer_;
    download::Downloader downloader_;

    std::mutex answerMutex_;
    std::condition_variable answerReady_;
    bool answered_ = false;
    bool abandoned_ = false;
};

/// The worker and its thread, as the window uses them. Every command is queued to the worker
/// and answered by its signals: the caller never waits on the download thread.
class DownloadThread {
  public:
    explicit DownloadThread(ports::PortOpener& opener, link::Clock* clock = nullptr);
    /// Releases any box the download waits for, closes the port on its thread and joins it
    /// (a running download is let finish first).
    ~DownloadThread();

    DownloadThread(const DownloadThread&) = delete;
    DownloadThread& operator=(const DownloadThread&) = delete;

    [[nodiscard]] DownloadWorker* worker() { return worker_.get(); }

    void openPort(const QString& text);
    void closePort();
    void startDownload(const QString& imagePath);

  private:
    QThread thread_;
    std::unique_ptr<DownloadWorker> worker_;
};

}  // namespace korvath::ui
