// One port's download on the console: status texts one per line on standard output, a
// progress bar on standard error when it is a terminal, error reports as "<number> - <text>".
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include "download/observer.h"
#include "download/progress_text.h"

namespace korvath::line {

/// Error reports as a technician reads them: the same report in a row is printed once, and the
/// repeats are counted and told once as "<report> (xN)" when another report comes or the
/// unit ends. Reports differing only in their figures in brackets at the end ("(a reply of
/// 79361 bytes, more than 51)") count as the same.
class RepeatedReports {
  public:
    /// What to print now for `fault` ("<number> - <text>" lines, each ending in "\n"; empty
    /// for a repeat).
    [[nodiscard]] std::string add(const platform::Fault& fault);
    /// The count of the repeats not told yet; empty when there were none.
    [[nodiscard]] std::string flush();

  private:
    std::string key_;
    std::string shown_;
    int repeats_ = 0;
};

class ConsoleObserver final : public download::DownloadObserver {
  public:
    /// `drawBar`: draw the progress bar on `err`; `waitForEnter`: the programming-card message
    /// waits for a line on `in` (only sensible when it is a terminal). `columns` gives the
    /// terminal's width for each redraw; by default that of `err`'s terminal.
    ConsoleObserver(std::FILE* out, std::FILE* err, std::FILE* in, bool drawBar, bool waitForEnter,
                    std::function<int()> columns = {});

    /// A stop requested through `stop` ends the wait for Enter of the programming-card message.
    void setStopToken(std::stop_token stop) { stop_ = std::move(stop); }

    void showStatus(std::string_view text, download::Severity severity) override;
    /// On standard error, "korvath-cli: line N: reason": the status line stays as it is.
    void explainStatus(std::string_view reason) override;
    void showProgress(const download::Progress& progress) override;
    [[nodiscard]] bool writesProgress() const override { return drawBar_; }
    void askToRemoveProgrammingCard() override;
    void reportError(const platform::Fault& fault) override;

    /// Finishes a bar line left open on the terminal and tells the repeats of the last report.
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    void clearBar();
    void drawBar(const download::Progress& progress);

    std::FILE* out_;
    std::FILE* err_;
    std::FILE* in_;
    bool drawBar_;
    bool waitForEnter_;
    std::stop_token stop_;
    bool barShown_ = false;
    std::function<int()> columns_;
    // Programming time is measured from its first report, for the time left.
    std::optional<Clock::time_point> programmingStart_;
    std::optional<download::Progress> lastProgress_;
    Clock::time_point lastDraw_{};
    RepeatedReports reports_;
};

using download::formatDuration;

/// "[####------]": `done` of `total` as a bar `width` characters between the brackets, empty
/// for a total of 0 or less.
[[nodiscard]] std::string barText(int done, int total, int width);

/// The progress line for `progress` in at most `columns` - 1 characters (a terminal wraps a
/// line that fills its last column): what the phase counts, then a bar in the room left.
/// `elapsedSeconds` is the programming time so far, for the time left.
[[nodiscard]] std::string progressLine(const download::Progress& progress, double elapsedSeconds,
                                       int columns);

}  // namespace korvath::line
