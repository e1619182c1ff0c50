// Text output of several ports at once: each status line on standard output prefixed with its
// port ("PORT: text"), error reports on standard error the same way, and on a terminal a board
// of one progress line per port, redrawn in place and cut to the terminal's width so that it
// never wraps.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "download/observer.h"
#include "line/console_observer.h"

namespace korvath::line {

class LineConsole {
  public:
    /// `board`: draw the progress board on `err` (a terminal); `columns`, `rows`: its size.
    LineConsole(std::vector<std::string> ports, std::FILE* out, std::FILE* err, bool board,
                int columns, int rows);

    void status(std::size_t port, std::string_view text);
    void progress(std::size_t port, const download::Progress& progress);
    void error(std::size_t port, const platform::Fault& fault);
    /// Advice after a unit (several lines allowed), each line prefixed, on standard error,
    /// after the count of the port's repeated reports.
    void advice(std::size_t port, const std::string& text);
    /// Takes the board off the terminal; the summary follows on a clean line.
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        download::Progress progress{};
        std::string status;
        RepeatedReports reports{};
    };
    /// Prints `text` (whole lines) on standard error, each line prefixed with the port.
    void printPrefixed(std::size_t port, const std::string& text);
    void eraseBoard();
    void drawBoard();

    std::mutex mutex_;
    std::vector<std::string> ports_;
    std::vector<Entry> entries_;
    std::FILE* out_;
    std::FILE* err_;
    bool board_;
    int columns_;
    int rows_;
    int drawnLines_ = 0;
    Clock::time_point lastDraw_{};
};

/// One board line for `port`, at most `columns` - 1 characters: the port, a bar, done/total,
/// the phase and the last status.
[[nodiscard]] std::string boardLine(const std::string& port, std::size_t portWidth,
                                    const download::Progress& progress, const std::string& status,
                                    int columns);

/// An observer that feeds one port's reports into the console. The programming-card question
/// is shown as a status, never asked.
class PortLineObserver final : public download::DownloadObserver {
  public:
    PortLineObserver(LineConsole& console, std::size_t port) : console_(console), port_(port) {}
    void showStatus(std::string_view text, download::Severity) override;
    void explainStatus(std::string_view reason) override;
    void showProgress(const download::Progress& progress) override;
    void askToRemoveProgrammingCard() override;
    void reportError(const platform::Fault& fault) override;

  private:
    LineConsole& console_;
    std::size_t port_;
};

}  // namespace korvath::line
