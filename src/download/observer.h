// The one interface through which a download reports: status, progress, busy pointer, the
// programming-card message and the exchange's errors. The window and the command line each
// implement it once; calls arrive on the download's thread, in order.
#pragma once

#include "image/status.h"
#include "link/link_error.h"

namespace korvath::download {

/// The progress bar's three properties, as UpdateProgress leaves them.
struct ProgressState {
    float Min = 0;
    float Max = 10;
    float Value = 0;
};

class DownloadObserver : public image::StatusSink, public link::ErrorSink {
public:
    /// The bar changed (or was only to be repainted): show `state`.
    virtual void progressChanged(const ProgressState& state) = 0;

    /// Hourglass on (true) or back to the default pointer (false).
    virtual void setBusyPointer(bool busy) = 0;

    /// "Please remove Programming Card first," / "then close this window." with the title
    /// "Programming Card check". Returns only once the user has acknowledged it.
    virtual void showProgrammingCardMessage() = 0;
};

}  // namespace korvath::download
