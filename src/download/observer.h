// The one interface through which a download reports: status texts, progress, the link's error
// reports and the programming-card question. The window and the command line each implement it
// once and decide how each report looks; calls arrive on the download's thread, in order.
#pragma once

#include <string_view>

#include "link/link_error.h"

namespace korvath::download {

enum class Severity {
    Normal,  ///< progress and success
    Error,   ///< every failure
};

/// The stretch of a download that a progress step belongs to.
enum class Phase {
    Connecting,   ///< bar set-up, probes, unlock and pre-scan
    Erasing,      ///< from the start of the erase phase to its last sector
    Programming,  ///< one step per record sent
    Resetting,    ///< the reset wait's seconds
};

/// What `step` of `steps` in a Progress counts.
enum class Count {
    None,           ///< nothing is counted yet
    Probe,          ///< probe n of 50
    PasswordRound,  ///< round n of 50 of the three passwords
    Sector,         ///< sector i of the model's sectors, erase phase
    Record,         ///< data record i of the image's data records
    Second,         ///< second i of the reset wait
};

/// Where the progress bar stands: `done` of `total` steps. A total of 0 or less shows as an
/// empty bar. `step` of `steps` says where the phase stands in its own units (see Count):
/// the bar's steps follow the file's length, these follow what is really sent.
struct Progress {
    int done = 0;
    int total = 0;
    Phase phase = Phase::Connecting;
    Count count = Count::None;
    int step = 0;
    int steps = 0;
};

class DownloadObserver : public link::ErrorSink {
  public:
    /// Replaces the status text; the last one stays shown.
    virtual void showStatus(std::string_view text, Severity severity) = 0;

    /// Why the status just shown came about: "line N: reason" for a refused image, the sector
    /// for a failed erase. Front ends
    /// show it beside the status (standard error, the status box's tool tip); the status text
    /// itself stays as short as the status box.
    virtual void explainStatus(std::string_view /*reason*/) {}

    /// The bar changed, or was only to be redrawn.
    virtual void showProgress(const Progress& progress) = 0;

    /// False for an observer whose showProgress never writes anywhere (a console without a
    /// bar): what follows each record then need not look for a failed write.
    [[nodiscard]] virtual bool writesProgress() const { return true; }

    /// "Please remove Programming Card first," / "then close this window." with the title
    /// "Programming Card check". Returns only once the user has acknowledged it.
    virtual void askToRemoveProgrammingCard() = 0;

    // reportError(fault), from link::ErrorSink: a fault of the serial exchange, shown to the
    // user as "<number> - <text>".
};

}  // namespace korvath::download
