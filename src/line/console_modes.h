// The two other faces of a run on the console: --quiet keeps only the failures and
// the final status; --trace adds every frame on the wire, in hex, on standard error. Both sit
// between the download and the console observer, which keeps drawing what they let through.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "download/observer.h"
#include "link/clock.h"
#include "link/link.h"

namespace korvath::line {

struct ConsoleModes {
    bool quiet = false;
    bool trace = false;

    /// The progress line would mix with the trace, and --quiet shows no progress.
    [[nodiscard]] bool barAllowed() const { return !quiet && !trace; }
};

/// The two trace lines of one exchange: "<ms> <phase> > <frame>" and "<ms> <phase> < <reply>",
/// the times in milliseconds since `startMs` on the link's clock. A reply that did not come
/// reads "nothing within N ms"; a failed exchange "failed" (its error is reported apart).
[[nodiscard]] std::string traceLines(const link::WireExchange& exchange, double startMs,
                                     std::string_view phase);

/// The phase a trace line names, from the last progress report: "connect", "password",
/// "erase", "program" or "reset".
[[nodiscard]] std::string_view tracePhase(const download::Progress& progress);

/// Passes every report on to `inner` as the modes say, and writes the trace to `err`.
class ModeObserver final : public download::DownloadObserver, public link::WireTrace {
  public:
    /// `clock` is the link's: trace times count from this construction. Each trace line starts
    /// with `prefix` (the port's name when several run at once). --quiet also holds back the
    /// progress reports.
    ModeObserver(download::DownloadObserver& inner, ConsoleModes modes, link::Clock& clock,
                 std::FILE* err, std::string prefix = {});

    void showStatus(std::string_view text, download::Severity severity) override;
    void explainStatus(std::string_view reason) override { inner_.explainStatus(reason); }
    void showProgress(const download::Progress& progress) override;
    void askToRemoveProgrammingCard() override { inner_.askToRemoveProgrammingCard(); }
    void reportError(const platform::Fault& fault) override { inner_.reportError(fault); }
    void exchanged(const link::WireExchange& exchange) override;

    /// Shows the final status when --quiet held it back.
    void finish();

  private:
    download::DownloadObserver& inner_;
    ConsoleModes modes_;
    std::FILE* err_;
    double startMs_;
    std::string prefix_;
    download::Progress progress_;
    std::optional<std::string> heldBack_;
};

}  // namespace korvath::line
