// One whole download, from the first probe to "Done!": progress set-up, connect, unlock,
// pre-scan, erase, program, exit frame and reset wait. Reports only through DownloadObserver.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "download/observer.h"
#include "download/progress.h"
#include "link/clock.h"
#include "link/link.h"

namespace korvath::download {

inline constexpr int kConnectAttempts = 50;     // probes, back to back
inline constexpr int kPasswordAttempts = 50;    // rounds of the three passwords, back to back
inline constexpr int kErasePasses = 50;         // blank check (and erase) passes per sector
inline constexpr double kSectorPauseMs = 1000;  // after a blank sector, after a first erase
inline constexpr int kResetSeconds = 8;         // the reset wait counts these on the bar
inline constexpr double kResetStepMs = 1000;
inline constexpr int kBytesPerProgressStep = 141;  // one data line and its CR LF

/// Status texts of the download; the image checks have their own (image/prescan.h).
namespace text {
inline constexpr std::string_view Idle = "Idle";
inline constexpr std::string_view Connecting = "Connecting";
inline constexpr std::string_view ConnectionError = "Connection Error";
inline constexpr std::string_view SendingPassword = "Sending Password";
inline constexpr std::string_view WrongPassword = "Wrong Password";
inline constexpr std::string_view Erasing = "Erasing external flash";
inline constexpr std::string_view BlankSector = "Blank external flash S";    // + sector index
inline constexpr std::string_view ErasingSector = "Erase external flash S";  // + sector index
inline constexpr std::string_view EraseFailed = "Error erase flash S";
inline constexpr std::string_view Programming = "Programming!";
inline constexpr std::string_view FlashError = "Flash Error";
inline constexpr std::string_view Resetting = "Resetting target";
inline constexpr std::string_view Done = "Done!";
}  // namespace text

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

    /// Runs one download of the image at `imagePath`, which must be a full path (a relative one
    /// is refused, never resolved against the current directory). Returns false when the
    /// programming loop stopped before the end line (a refused record, a read failure) or the
    /// download was cut short by an unexpected error, and when another download is still
    /// running on this object; true otherwise. outcome() tells the rest. Never throws.
    bool RunDownload(const std::filesystem::path& imagePath);

    [[nodiscard]] Outcome outcome() const { return outcome_; }
    /// The model that accepted a password in the last download; empty before that step passed.
    [[nodiscard]] std::optional<link::Model> model() const { return model_; }
    [[nodiscard]] const ProgressState& progress() const { return progress_.state(); }

    /// True from the erase phase to the end of a download; readable from any thread.
    [[nodiscard]] bool busy() const { return busy_; }

  private:
    bool runSteps(const std::filesystem::path& imagePath);
    bool setUpProgress(const std::filesystem::path& imagePath);
    bool connect();
    std::optional<link::Model> unlock();
    std::optional<std::int32_t> prescan(const std::filesystem::path& imagePath, link::Model model);
    bool erase(link::Model model);
    /// True when every record up to the end line was sent and acknowledged.
    bool program(const std::filesystem::path& imagePath, link::Model model,
                 std::int32_t lastRecordLine);
    void resetTarget();

    void showStatus(std::string_view text, Severity severity = Severity::Normal);
    /// Applies `update` to the bar (LinkError Overflow for a value outside 16 bits, the bar
    /// then unchanged) and tells the observer, also when nothing changed.
    void updateProgress(const ProgressUpdate& update, Phase phase);
    void fail(Outcome outcome, std::string_view text);
    void stopAfterError(const std::string& what);

    link::Link& link_;
    link::Clock& clock_;
    DownloadObserver& observer_;
    ProgressModel progress_;
    Outcome outcome_ = Outcome::NotRun;
    std::optional<link::Model> model_;
    bool exitDue_ = false;  // the exit frame is owed to the device
    std::atomic<bool> busy_{false};
    std::atomic<bool> running_{false};
};

}  // namespace korvath::download
