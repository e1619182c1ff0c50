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

/// Where the progress bar stands: `done` of `total` steps. A total of 0 or less shows as an
/// empty bar.
struct Progress {
    int done = 0;
    int total = 0;
    Phase phase = Phase::Connecting;
};

class DownloadObserver : public link::ErrorSink {
  public:
    /// Replaces the status text; the last one stays shown.
    virtual void showStatus(std::string_view text, Severity severity) = 0;

    /// The bar changed, or was only to be redrawn.
    virtual void showProgress(const Progress& progress) = 0;

    /// "Please remove Programming Card first," / "then close this window." with the title
    /// "Programming Card check". Returns only once the user has acknowledged it.
    virtual void askToRemoveProgrammingCard() = 0;

    // reportError(number, description), from link::ErrorSink: a fault of the serial exchange,
    // "<number> - <description>" for the user.
};

}  // namespace korvath::download
