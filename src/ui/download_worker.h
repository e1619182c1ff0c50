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
#include "ui/port_opener.h"

namespace korvath::ui {

class DownloadWorker;

/// The download's observer, on the worker thread: every report becomes a signal of the worker.
/// The programming-card message and the first error of a download wait for the window's answer.
class WorkerObserver final : public download::DownloadObserver {
  public:
    explicit WorkerObserver(DownloadWorker& worker) : worker_(worker) {}

    /// A new download starts: its first error will be shown again.
    void beginDownload() { errorShown_ = false; }

    void ShowStatus(std::string_view text, image::OleColor colour) override;
    void progressChanged(const download::ProgressState& state) override;
    void setBusyPointer(bool busy) override;
    void showProgrammingCardMessage() override;
    void reportError(int number, const std::string& description) override;

  private:
    DownloadWorker& worker_;
    bool errorShown_ = false;
};

/// Lives on the download thread. Every member function except answer() and abandon() must run
/// there; DownloadThread takes care of that.
class DownloadWorker : public QObject {
    Q_OBJECT

  public:
    /// `clock` null: the worker keeps its own wall clock. Otherwise it must outlive the worker.
    explicit DownloadWorker(PortOpener& opener, link::Clock* clock = nullptr);
    ~DownloadWorker() override;

    /// Opens the port `text` names unless one is open; true when a port is open afterwards.
    /// `error` says why nothing opened.
    bool openPort(const std::string& text, std::string& error);
    void closePort();
    [[nodiscard]] bool isPortOpen() const;

    /// Runs one whole download; downloadFinished() follows every other report of it.
    void runDownload(const QString& imagePath);

    /// The window closed the box that the download waits for. Any thread.
    void answer();
    /// Nobody will answer again (the window is going away): boxes no longer wait. Any thread.
    void abandon();

  signals:
    void statusShown(const QString& text, quint32 colour);
    void progressChanged(float min, float max, float value);
    void busyPointerChanged(bool busy);
    /// The window shows the box, then calls answer().
    void programmingCardRequested();
    void errorReported(const QString& text);
    void downloadFinished(bool result);

  private:
    friend class WorkerObserver;

    /// Emits `ask` and blocks until the window answers or abandons.
    template <typename Ask>
    void askAndWait(Ask&& ask);

    PortOpener& opener_;
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

/// The worker and its thread, as the window uses them. Port commands block the caller until
/// the worker has done them (they are short); a download only starts and reports by signals.
class DownloadThread {
  public:
    explicit DownloadThread(PortOpener& opener, link::Clock* clock = nullptr);
    /// Releases any box the download waits for, closes the port on its thread and joins it.
    ~DownloadThread();

    DownloadThread(const DownloadThread&) = delete;
    DownloadThread& operator=(const DownloadThread&) = delete;

    [[nodiscard]] DownloadWorker* worker() { return worker_.get(); }

    bool openPort(const QString& text, std::string& error);
    void closePort();
    [[nodiscard]] bool isPortOpen();
    void startDownload(const QString& imagePath);

  private:
    template <typename Fn>
    auto runBlocking(Fn&& fn);

    QThread thread_;
    std::unique_ptr<DownloadWorker> worker_;
};

}  // namespace korvath::ui
