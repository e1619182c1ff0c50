// One whole download, from the first probe to "Done!": progress set-up, connect, unlock,
// pre-scan, erase, program, exit frame and reset wait. Reports only through DownloadObserver.
#pragma once

#include <atomic>
#include <filesystem>
#include <string_view>

#include "download/observer.h"
#include "download/progress.h"
#include "image/status.h"
#include "link/clock.h"
#include "link/link.h"

namespace korvath::download {

/// How the last download ended, for callers that need more than the status text.
enum class Outcome {
    NotRun,
    Done,           ///< "Done!" was shown
    DeviceFailure,  ///< connection, password, erase or programming failed
    ImageRefused,   ///< the image was refused or could not be read
};

class Downloader {
public:
    /// All three must outlive the downloader. The link's ErrorSink is set to `observer`.
    Downloader(link::Link& link, link::Clock& clock, DownloadObserver& observer);

    /// Runs one download of the image at `imagePath` (a full path). Returns false only when
    /// the programming loop stopped at a refused record; outcome() tells the rest.
    bool RunDownload(const std::filesystem::path& imagePath);

    /// The eight-second reset wait and the programming-card check.
    void ResetTarget();

    void ShowStatus(std::string_view text, image::OleColor colour);
    void UpdateProgress(const ProgressUpdate& update);

    [[nodiscard]] Outcome outcome() const { return outcome_; }
    [[nodiscard]] const ProgressState& progress() const { return progress_.state(); }

    /// True from the erase phase to the end of a download; readable from any thread.
    std::atomic<bool> DownloadBusy{false};

private:
    link::Link& link_;
    link::Clock& clock_;
    DownloadObserver& observer_;
    ProgressModel progress_;
    Outcome outcome_ = Outcome::NotRun;
};

}  // namespace korvath::download
