// The window's worker: the port, the link and the downloader live on one thread of their own,
// and everything they report goes back as Report values, in order. The window model queues
// commands here and applies the reports on its face's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <variant>

#include "download/downloader.h"
#include "image/image_file.h"
#include "link/clock.h"
#include "link/link.h"
#include "ports/port_opener.h"
#include "window/window_model.h"

namespace korvath::window {

struct StatusReport {
    std::string text;
    Severity severity = Severity::Normal;
};
/// Why the status just shown came about ("line N: reason").
struct ExplanationReport {
    std::string reason;
};
struct ProgressReport {
    int value = 0;
    int max = 1;
    std::string tip;
};
struct BusyPointerReport {
    bool busy = false;
};
/// A box the download waits for until WindowModel::answer().
struct BoxReport {
    Message message;
};
/// The port's state after a port command, and the fault of an open that failed.
struct PortReport {
    bool open = false;
    platform::Result<void> opening{};
};
/// A download was asked for while no port was open: nothing ran.
struct RefusedReport {};
struct FinishedReport {
    download::Ending ending = download::Ending::NotRun;
    download::FlashState flash = download::FlashState::Untouched;
    /// A controller accepted a password: the exit frame was owed and sent.
    bool passwordPassed = false;
    download::ResetHeard resetHeard = download::ResetHeard::Nothing;
    bool portOpen = false;
};

using Report = std::variant<StatusReport, ExplanationReport, ProgressReport, BusyPointerReport,
                            BoxReport, PortReport, RefusedReport, FinishedReport>;

class DownloadThread {
  public:
    /// `post` is called on the worker thread with each report, in order. `clock` null: the wall
    /// clock. All references must outlive the object.
    DownloadThread(ports::PortOpener& opener, link::Clock* clock, std::string programName,
                   std::function<void(Report)> post);
    /// See WindowModel::~WindowModel.
    ~DownloadThread();

    DownloadThread(const DownloadThread&) = delete;
    DownloadThread& operator=(const DownloadThread&) = delete;

    /// Opens the port `text` names unless one is open; a PortReport follows.
    void openPort(std::string text);
    /// Closes the port; a PortReport follows.
    void closePort();
    /// Runs one download of `image`, read and checked before (its bytes are sent, the file is
    /// not read again); FinishedReport follows every other report of it, or RefusedReport alone
    /// when no port is open.
    void download(image::ImageRead image);

    /// Stops the download queued or running at its next exchange boundary, with the exit frame
    /// when the password had passed. A download queued later runs as usual.
    void stopDownload();

    /// From any thread, also while the face's thread is gone: stops the download at its next
    /// exchange boundary, releases a box it waits for and waits until it has ended (the exit
    /// frame is out) or `deadline` has passed. Later downloads end at once. True when no
    /// download was left running.
    bool stopForExit(std::chrono::milliseconds deadline);

    /// The box the download waits for was closed.
    void answer();

  private:
    class Observer;

    void queue(std::function<void()> task);
    void run();
    void doOpen(const std::string& text);
    void doClose();
    void doDownload(const image::ImageRead& image);
    /// Posts `report` and blocks until answer() or the end of the thread.
    void ask(Message message);
    [[nodiscard]] bool portOpen() const;

    ports::PortOpener& opener_;
    link::SteadyClock steadyClock_;
    link::Clock& clock_;
    std::string programName_;
    std::function<void(Report)> post_;

    link::ClosedPort closedPort_;
    std::unique_ptr<link::Port> port_;
    link::Link link_;
    std::unique_ptr<Observer> observer_;
    download::Downloader downloader_;
    std::stop_source stop_;     // for good: the object goes, or the process ends
    std::stop_source runStop_;  // the running download only; under mutex_

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    bool answered_ = false;
    bool abandoned_ = false;
    bool stopPending_ = false;  // Stop arrived for the download queued or running
    bool downloading_ = false;  // from download() until its FinishedReport is posted

    std::thread thread_;  // last: it starts once everything above exists
};

}  // namespace korvath::window
