// One whole download, from the first probe to "Done!": progress set-up, connect, unlock,
// pre-scan, erase, program, exit frame and reset wait. Reports only through DownloadObserver.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "download/observer.h"
#include "download/progress.h"
#include "image/image_file.h"
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
inline constexpr std::string_view Cancelled = "Cancelled";
}  // namespace text

/// How the reset wait after the exit frame listens to the line.
enum class ResetWatch {
    /// Eight seconds, then one probe: a controller still answering has its programming card in.
    ProbeAtEnd,
    /// A probe at once and then every second for the eight seconds, for a station where units
    /// follow one another on the port. The restarted controller falls silent, so an answer
    /// after silence is the next unit: the wait ends there. Answers without any silence are the
    /// controller still on its programming card, treated as with ProbeAtEnd.
    EverySecond,
};

/// What the reset wait of a download heard on the line.
enum class ResetHeard {
    Nothing,      ///< there was no reset wait, or it was cancelled before it probed
    Silence,      ///< the restarted controller fell silent (and nothing answered after that)
    NextUnit,     ///< an answer after silence: the next unit (ResetWatch::EverySecond only)
    CardStillIn,  ///< answers throughout: the controller is still on its programming card
};

/// What the last download left in the controller's flash.
enum class FlashState {
    Untouched,   ///< nothing was erased
    Incomplete,  ///< erasing began and the image was not written to its end
    Written,     ///< every record was sent and acknowledged
};

/// How a download ended: "Done!", or the one thing that stopped it short of that. The status
/// text shown last is for people; callers decide on this.
enum class Ending {
    NotRun,           ///< nothing ran yet
    Done,             ///< "Done!" was shown
    NoConnection,     ///< no probe was acknowledged
    WrongPassword,    ///< no password was accepted
    ImageUnreadable,  ///< the image could not be read (missing, a folder, not a regular file)
    ImageRefused,     ///< the image was refused: a rule of the image checks, or too long
    EraseFailed,      ///< a sector stayed neither blank nor erased
    RecordRefused,    ///< a record was refused or not answered
    UnexpectedError,  ///< an error nobody expected ("Download stopped: ...")
    Cancelled,        ///< a stop was requested and the download ended at an exchange boundary
    Busy,             ///< another download was still running on this downloader: nothing ran
};

/// True for the endings where the controller or the line failed (connection, password, erase,
/// programming, or an unexpected error on the way), as opposed to the image, a stop or success.
[[nodiscard]] constexpr bool isDeviceFailure(Ending ending) {
    switch (ending) {
        case Ending::NoConnection:
        case Ending::WrongPassword:
        case Ending::EraseFailed:
        case Ending::RecordRefused:
        case Ending::UnexpectedError:
            return true;
        case Ending::NotRun:
        case Ending::Done:
        case Ending::ImageUnreadable:
        case Ending::ImageRefused:
        case Ending::Cancelled:
        case Ending::Busy:
            return false;
    }
    return false;
}

/// Why a download ended short of "Done!", from a closed set that records and scripts rely on.
/// The line's faults (Refused to PortLost) are told by the exchange that failed, not by the
/// step it failed in: a garbled reply to a record is the cable's fault, not the flash's.
enum class Cause {
    None,           ///< "Done!", or nothing ran
    Refused,        ///< the controller answered NAK
    Garbled,        ///< the controller answered another byte than ACK or NAK
    NoReply,        ///< a command got no reply within its time-out
    Noise,          ///< the line never fell quiet, or a reply was longer than any may be
    PortLost,       ///< the port failed: unplugged, or its driver gave up
    WrongPassword,  ///< every password was refused
    NotConnected,   ///< no probe was answered at all
    EraseFailed,    ///< the controller refused to erase a sector
    ImageRefused,   ///< the image was refused or could not be read
    Cancelled,      ///< a stop was requested
    LogFailed,      ///< the unit's record could not be written (set by the caller that logs)
};

/// The cause's name in records and events: "refused", "garbled", "no_reply", ...; empty for
/// None.
[[nodiscard]] std::string_view causeName(Cause cause);

/// How one download ended.
struct DownloadResult {
    Ending ending = Ending::NotRun;
    FlashState flash = FlashState::Untouched;
    /// The model that accepted a password; empty when that step did not pass.
    std::optional<link::Model> model;
    /// The last status text shown, as the status box holds it afterwards: for people and
    /// records, never for deciding.
    std::string lastStatus;
    ResetHeard resetHeard = ResetHeard::Nothing;
    /// Records left out as erased-state (Downloader::setSkipErased); 0 when every one was sent.
    int skippedRecords = 0;
    /// The image line (header = 1) of the record the controller refused; 0 when none was.
    std::int32_t refusedLine = 0;
    Cause cause = Cause::None;
    /// The bytes of the reply that ended it, when the failing exchange brought any.
    std::vector<std::uint8_t> reply;
    /// The sector index (0 for the model's first) that could not be erased.
    std::optional<int> failedSector;
};

class Downloader {
  public:
    /// Both must outlive the downloader. It waits on the link's clock; the link's faults go to
    /// whatever ErrorSink the link was given, usually the same observer.
    Downloader(link::Link& link, DownloadObserver& observer);

    /// Runs one download of the image at `imagePath`, which must be a full path (a relative one
    /// is refused, never resolved against the current directory). Never throws.
    DownloadResult runDownload(const std::filesystem::path& imagePath);

    /// The same with an image already read (image::readImage), so that several downloads send
    /// the very bytes that were checked once. A failed read is reported as for a path.
    DownloadResult runDownload(const image::ImageRead& image);

    /// A download asked to stop through `stop` ends at the next boundary between exchanges
    /// (never inside one), sends the exit frame when the password step had passed, shows
    /// "Cancelled" and ends with Ending::Cancelled; its pauses end early. Tokens of one
    /// std::stop_source cancel many downloads at once. Set it before runDownload.
    void setStopToken(std::stop_token stop) { stop_ = std::move(stop); }

    /// ResetWatch::ProbeAtEnd unless set; set it before runDownload.
    void setResetWatch(ResetWatch watch) { resetWatch_ = watch; }

    /// Off unless set; set it before runDownload. When on, a record whose 64 data bytes are all
    /// 0xFF is not sent if every byte it covers lies in a sector this download erased or found
    /// blank: erased flash already reads 0xFF there, and programming 0xFF changes no bit. The
    /// last record is always sent, since it tells the bootloader that the image is whole. The
    /// record count of the progress reports counts the records sent.
    void setSkipErased(bool skip) { skipErased_ = skip; }

    /// True from the erase phase to the end of a download; readable from any thread.
    [[nodiscard]] bool busy() const { return busy_; }

  private:
    /// Everything one download knows; a new download starts from a fresh one.
    struct Run {
        DownloadResult result;
        bool exitDue = false;  ///< the exit frame is owed to the device
        // The step within the phase, sent along with every progress report.
        Count count = Count::None;
        int step = 0;
        int steps = 0;
        Phase phase = Phase::Connecting;
        /// By sector index: erased or found blank by this download, so reading 0xFF throughout.
        std::vector<bool> erasedSectors;
    };

    void runSteps(const image::ImageRead& read);
    bool setUpProgress(const image::ImageRead& read);
    bool connect();
    std::optional<link::Model> unlock();
    std::optional<std::int32_t> prescan(const image::ImageFile& image, link::Model model);
    bool erase(link::Model model);
    link::SectorState blankCheck(int sector);
    link::Answer eraseSector(int sector);
    /// True when every record up to the last one was sent and acknowledged.
    bool program(const image::ImageFile& image, link::Model model, std::int32_t lastRecordLine);
    /// True when `record` (not the last one) may be left out under setSkipErased.
    [[nodiscard]] bool leftOut(const link::DataRecord& record) const;
    void resetTarget();
    void resetWatchingEverySecond();
    void askToRemoveCard();
    void exitProgramming();

    /// True (and the ending Cancelled) once a stop was requested: checked between exchanges.
    bool stopRequested();
    /// A pause that a stop request ends early.
    void pause(double ms);
    /// Shows where the phase stands in its own units; the bar stays as it is.
    void showStep(Count count, int step, int steps);

    void showStatus(std::string_view text, Severity severity = Severity::Normal);
    /// Applies `update` to the bar and tells the observer, also when nothing changed. A value
    /// outside 16 bits is this class's mistake: std::logic_error, the bar unchanged.
    void updateProgress(const ProgressUpdate& update, Phase phase);
    /// Tells the observer where the bar and the phase's own count stand.
    void publishProgress();
    void fail(Ending ending, std::string_view text);
    /// Sets the cause from what the last exchange heard: `answered` when the controller gave
    /// a clear answer (NAK, or ACK to a step that still failed), the line's fault otherwise.
    void blameLine(Cause answered);
    void stopAfterError(const std::string& what);

    link::Link& link_;
    DownloadObserver& observer_;
    ProgressModel progress_;
    std::stop_token stop_;
    ResetWatch resetWatch_ = ResetWatch::ProbeAtEnd;
    bool skipErased_ = false;
    Run run_;
    /// The reply time-out of probes, records and the exit frame: kLongReplyTimeoutMs from the
    /// password step until the end of the next blank check or erase, kDefaultReplyTimeoutMs
    /// otherwise. It outlives a run on purpose: a download that ended after its password step
    /// (wrong password, refused image, cancelled) leaves the long wait to the probes of the
    /// next one, and a controller's bootloader sees that in the timing of the retries.
    int replyTimeoutMs_ = link::protocol::kDefaultReplyTimeoutMs;
    std::atomic<bool> busy_{false};
    std::atomic<bool> running_{false};
};

}  // namespace korvath::download
