// The command line's side of a download: status texts one per line on standard output, a
// progress bar on standard error when it is a terminal, error reports as "<number> - <text>".
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "download/observer.h"

namespace korvath::cli {

class ConsoleObserver final : public download::DownloadObserver {
  public:
    /// `drawBar`: draw the progress bar on `err`; `waitForEnter`: the programming-card message
    /// waits for a line on `in` (only sensible when it is a terminal).
    ConsoleObserver(std::FILE* out, std::FILE* err, std::FILE* in, bool drawBar, bool waitForEnter);

    void showStatus(std::string_view text, download::Severity severity) override;
    void showProgress(const download::Progress& progress) override;
    void askToRemoveProgrammingCard() override;
    void reportError(int number, const std::string& description) override;

    /// The last status text shown, as the status box would hold it.
    [[nodiscard]] const std::string& lastStatus() const { return lastStatus_; }
    /// Finishes a bar line left open on the terminal.
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
    bool barShown_ = false;
    std::string lastStatus_;
    // The bar counts records from the moment programming starts; before that it shows steps.
    download::Progress last_{};
    Clock::time_point lastAt_{};
    std::optional<int> programmingBase_;
    Clock::time_point programmingStart_{};
    Clock::time_point lastDraw_{};
};

/// "mm:ss" (or "h:mm:ss") for a number of seconds.
[[nodiscard]] std::string formatDuration(double seconds);

}  // namespace korvath::cli
