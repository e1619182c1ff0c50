// Standard output and standard error as part of the result: a status line or an event that
// could not be written (a full disk, a closed file) stops the run, which then leaves the
// controller safe and exits 1 instead of reporting success nobody saw.
#pragma once

#include <atomic>
#include <cstdio>
#include <stop_token>
#include <string>

#include "download/observer.h"

namespace korvath::line {

class OutputCheck {
  public:
    /// Watches `out` and `err`; the first write error found requests a stop of `stop`.
    OutputCheck(std::stop_source stop, std::FILE* out, std::FILE* err)
        : stop_(std::move(stop)), out_(out), err_(err) {}

    /// True once a write to either stream failed.
    bool check() {
        if (!failed_ && (std::ferror(out_) != 0 || std::ferror(err_) != 0)) {
            failed_ = true;
            stop_.request_stop();
        }
        return failed_;
    }
    [[nodiscard]] bool failed() const { return failed_; }

    /// Says which stream failed, on standard error when that one still works.
    void report() const {
        if (std::ferror(err_) != 0) return;
        std::fputs("korvath-cli: standard output could not be written; the run was stopped\n",
                   err_);
        std::fflush(err_);
    }

  private:
    std::stop_source stop_;
    std::FILE* out_;
    std::FILE* err_;
    std::atomic<bool> failed_{false};
};

/// Passes every report on to `inner` and checks the output after each.
class OutputCheckedObserver final : public download::DownloadObserver {
  public:
    OutputCheckedObserver(download::DownloadObserver& inner, OutputCheck& output)
        : inner_(inner), output_(output), checkProgress_(inner.writesProgress()) {}
    void showStatus(std::string_view text, download::Severity severity) override {
        inner_.showStatus(text, severity);
        output_.check();
    }
    void explainStatus(std::string_view reason) override {
        inner_.explainStatus(reason);
        output_.check();
    }
    void showProgress(const download::Progress& progress) override {
        inner_.showProgress(progress);
        // Once a record: looking at the streams locks both, so only where something was written.
        if (checkProgress_) output_.check();
    }
    [[nodiscard]] bool writesProgress() const override { return checkProgress_; }
    void askToRemoveProgrammingCard() override {
        inner_.askToRemoveProgrammingCard();
        output_.check();
    }
    void reportError(const platform::Fault& fault) override {
        inner_.reportError(fault);
        output_.check();
    }

  private:
    download::DownloadObserver& inner_;
    OutputCheck& output_;
    bool checkProgress_;
};

}  // namespace korvath::line
