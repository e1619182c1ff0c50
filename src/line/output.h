// Where a run of the line shows itself: one sink, chosen once by the program for the whole run
// (the console of one port, the board of several, or JSON events), and handed to the runner.
// The runner and the unit workers print nothing themselves; every line they show goes through it.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "download/downloader.h"
#include "download/observer.h"
#include "line/audit_log.h"
#include "line/console_observer.h"
#include "line/json_observer.h"
#include "line/line_console.h"
#include "platform/fault.h"

namespace korvath::line {

class LineTally;

/// The sink of a run. Its methods may be called from every port's thread at once.
class LineOutput {
  public:
    /// `ports`: the run's port texts, in the order the runner numbers them.
    LineOutput(std::vector<std::string> ports, std::FILE* out, std::FILE* err)
        : ports_(std::move(ports)), out_(out), err_(err) {}
    virtual ~LineOutput() = default;
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    /// Receives the reports of unit `unit` (station mode; none otherwise) on port `port`.
    [[nodiscard]] virtual std::unique_ptr<download::DownloadObserver> observer(
        std::size_t port, std::optional<int> unit) = 0;
    /// Something the user must know about a port outside any download (an error).
    virtual void note(std::size_t port, const std::string& text) = 0;
    /// A unit's download ended with `result`; `advice` is what to do next (may be empty).
    virtual void unitEnded(std::size_t port, const download::DownloadResult& result,
                           const std::string& advice) = 0;
    /// A unit's record was written to the log (`logged`), or not; also without a log.
    virtual void unitRecorded(std::size_t port, const UnitRecord& record,
                              const platform::Result<void>& logged) = 0;
    /// Port `port` could not be opened, for `reason`; `record` is its unit's verdict.
    virtual void portNotOpened(std::size_t port, const UnitRecord& record,
                               const std::string& reason);
    /// Every port has finished: the totals, where this sink shows them.
    virtual void summary(const LineTally& tally) = 0;
    /// How the whole run ended, also when it ended before any port was opened.
    virtual void runEnded(const RunResult& result);
    /// The run ends before any port is opened, for `result.reason`.
    void refused(const RunResult& result);

    /// A serial number's question or its answer's problem, one line on standard error.
    void ask(const std::string& line);
    /// One status text on a line of standard output, as a plain download's last one.
    void statusLine(std::string_view text);

    [[nodiscard]] std::FILE* out() const { return out_; }
    [[nodiscard]] std::FILE* err() const { return err_; }

  protected:
    /// "korvath-cli: TEXT" on standard error.
    void printError(const std::string& text);
    [[nodiscard]] const std::string& port(std::size_t index) const { return ports_[index]; }

  private:
    std::vector<std::string> ports_;
    std::FILE* out_;
    std::FILE* err_;
};

/// One port on the console: status lines on standard output, a progress bar and the error
/// reports on standard error, and station mode's totals at the end.
class ConsoleOutput final : public LineOutput {
  public:
    /// `drawBar`: standard error shows a progress bar; `waitForEnter`: the programming-card
    /// message waits for Enter, until `stop`.
    ConsoleOutput(std::string port, std::FILE* out, std::FILE* err, std::FILE* in, bool drawBar,
                  bool waitForEnter, std::stop_token stop, bool station);

    std::unique_ptr<download::DownloadObserver> observer(std::size_t port,
                                                         std::optional<int> unit) override;
    void note(std::size_t port, const std::string& text) override;
    void unitEnded(std::size_t port, const download::DownloadResult& result,
                   const std::string& advice) override;
    void unitRecorded(std::size_t port, const UnitRecord& record,
                      const platform::Result<void>& logged) override;
    void summary(const LineTally& tally) override;

  private:
    ConsoleObserver console_;
    bool station_;
};

/// Several ports on the console: every line prefixed with its port, a board of progress lines
/// on a terminal, and the table of the ports at the end.
class BoardOutput final : public LineOutput {
  public:
    /// `board`: standard error is a terminal of `columns` x `rows` that draws the board.
    BoardOutput(std::vector<std::string> ports, std::FILE* out, std::FILE* err, bool board,
                int columns, int rows);

    std::unique_ptr<download::DownloadObserver> observer(std::size_t port,
                                                         std::optional<int> unit) override;
    void note(std::size_t port, const std::string& text) override;
    void unitEnded(std::size_t port, const download::DownloadResult& result,
                   const std::string& advice) override;
    void unitRecorded(std::size_t port, const UnitRecord& record,
                      const platform::Result<void>& logged) override;
    void summary(const LineTally& tally) override;

  private:
    LineConsole console_;
};

/// JSON events on standard output, one a line; nothing for a person but the prompts and the
/// reason a run could not start.
class EventOutput final : public LineOutput {
  public:
    EventOutput(std::vector<std::string> ports, std::FILE* out, std::FILE* err);

    std::unique_ptr<download::DownloadObserver> observer(std::size_t port,
                                                         std::optional<int> unit) override;
    void note(std::size_t port, const std::string& text) override;
    void unitEnded(std::size_t, const download::DownloadResult&, const std::string&) override {}
    void unitRecorded(std::size_t port, const UnitRecord& record,
                      const platform::Result<void>& logged) override;
    void portNotOpened(std::size_t port, const UnitRecord& record,
                       const std::string& reason) override;
    void summary(const LineTally&) override {}
    void runEnded(const RunResult& result) override;

  private:
    EventStream stream_;
};

}  // namespace korvath::line
