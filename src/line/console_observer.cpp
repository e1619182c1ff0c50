#include "line/console_observer.h"

#include "platform/escape.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace korvath::line {

namespace {

constexpr int kMaxBarWidth = 30;
constexpr int kMinBarWidth = 5;
// The text beside a bar of fixed width: "Connecting: probe 50 of 50", "65/65 records  01:50 left".
constexpr std::size_t kTextRoom = 25;
// Redrawing a terminal line thousands of times a minute costs more than it shows.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

/// What the phase counts, in words ("Connecting: probe 3 of 50", "12/65 records  00:03
/// elapsed  00:10 left"); for records also shorter forms, longest first, for narrow terminals.
std::vector<std::string> stepTexts(const download::Progress& progress, double elapsedSeconds) {
    switch (progress.count) {
        case download::Count::Record: {
            const std::string records =
                std::to_string(progress.step) + "/" + std::to_string(progress.steps) + " records";
            const std::string elapsed = records + "  " + formatDuration(elapsedSeconds);
            const auto left = download::secondsLeft(progress.step, progress.steps, elapsedSeconds);
            if (!left) return {elapsed, records};
            const std::string leftText = formatDuration(*left) + " left";
            return {elapsed + " elapsed  " + leftText, elapsed + "  " + leftText,
                    records + "  " + leftText, records};
        }
        case download::Count::Probe:
        case download::Count::PasswordRound:
        case download::Count::Sector:
        case download::Count::Second:
            return {download::phaseStepText(progress.count, progress.step, progress.steps)};
        case download::Count::None:
            break;
    }
    return {std::to_string(progress.done) + "/" + std::to_string(progress.total)};
}

}  // namespace

std::string progressLine(const download::Progress& progress, double elapsedSeconds, int columns) {
    const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 0));
    const std::vector<std::string> texts = stepTexts(progress, elapsedSeconds);
    // The bar follows what the phase counts when it counts something, else the bar's steps.
    const bool counted = progress.count != download::Count::None && progress.steps > 0;
    const int done = counted ? progress.step : progress.done;
    const int total = counted ? progress.steps : progress.total;
    // Where the terminal has room for a bar beside kTextRoom columns of text, the bar's width
    // follows the terminal alone, so that it keeps its width as the texts change; the longest
    // text that fits goes beside it, the shortest cut if none does.
    const int fixedWidth =
        std::min(kMaxBarWidth, static_cast<int>(room) - 3 - static_cast<int>(kTextRoom));
    if (fixedWidth >= kMinBarWidth) {
        const std::size_t textRoom = room - static_cast<std::size_t>(fixedWidth) - 3;
        const auto fits = std::find_if(texts.begin(), texts.end(),
                                       [&](const std::string& t) { return t.size() <= textRoom; });
        std::string text = fits != texts.end() ? *fits : texts.back().substr(0, textRoom);
        return barText(done, total, fixedWidth) + " " + text;
    }
    // "[" bar "] " text: the longest text that leaves room for a bar; then the text alone, cut
    // if it must be.
    const auto withBar = std::find_if(texts.begin(), texts.end(), [&](const std::string& t) {
        return static_cast<int>(room) - static_cast<int>(t.size()) - 3 >= kMinBarWidth;
    });
    if (withBar == texts.end()) {
        std::string text = texts.back();
        if (text.size() > room) text.resize(room);
        return text;
    }
    const std::string& text = *withBar;
    const int barWidth =
        std::min(kMaxBarWidth, static_cast<int>(room) - static_cast<int>(text.size()) - 3);
    return barText(done, total, barWidth) + " " + text;
}

std::string barText(int done, int total, int width) {
    const double fraction =
        total > 0 ? std::clamp(static_cast<double>(done) / total, 0.0, 1.0) : 0.0;
    const int filled = static_cast<int>(fraction * width + 0.5);
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '-');
    bar += ']';
    return bar;
}

ConsoleObserver::ConsoleObserver(std::FILE* out, std::FILE* err, std::FILE* in, bool drawBar,
                                 bool waitForEnter, std::function<int()> columns)
    : out_(out),
      err_(err),
      in_(in),
      drawBar_(drawBar),
      waitForEnter_(waitForEnter),
      columns_(columns ? std::move(columns) : [err] {
          return platform::terminalSize(err).value_or(platform::TerminalSize{}).columns;
      }) {}

void ConsoleObserver::clearBar() {
    if (barShown_) {
        std::fputs("\r\033[K", err_);
        std::fflush(err_);
        barShown_ = false;
    }
}

void ConsoleObserver::showStatus(std::string_view text, download::Severity) {
    // The bar goes while the line is written and comes back under it.
    const bool redraw = barShown_;
    clearBar();
    std::fprintf(out_, "%s\n", platform::printable(text).c_str());
    std::fflush(out_);
    if (redraw && lastProgress_) drawBar(*lastProgress_);
}

void ConsoleObserver::showProgress(const download::Progress& progress) {
    // The clock is read only where it is needed: this runs once for every record.
    if (progress.phase != download::Phase::Programming) {
        programmingStart_.reset();
    } else if (!programmingStart_) {
        programmingStart_ = Clock::now();
    }
    if (!drawBar_) return;
    const auto now = Clock::now();
    // A new step of what the phase counts is drawn at once (they come seconds apart while
    // connecting and erasing); records are drawn at most every kRedrawInterval.
    const download::Count lastCount = lastProgress_ ? lastProgress_->count : download::Count::None;
    const int lastStep = lastProgress_ ? lastProgress_->step : 0;
    const bool newStep = progress.count != lastCount ||
                         (progress.count != download::Count::Record && progress.step != lastStep);
    const bool atEnd = progress.count == download::Count::Record ? progress.step >= progress.steps
                                                                 : progress.done >= progress.total;
    lastProgress_ = progress;
    if (barShown_ && !newStep && !atEnd && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    drawBar(progress);
}

void ConsoleObserver::drawBar(const download::Progress& progress) {
    const double elapsed =
        programmingStart_ ? std::chrono::duration<double>(Clock::now() - *programmingStart_).count()
                          : 0.0;
    const std::string line = progressLine(progress, elapsed, columns_());
    std::fprintf(err_, "\r\033[K%s", line.c_str());
    std::fflush(err_);
    barShown_ = true;
}

void ConsoleObserver::askToRemoveProgrammingCard() {
    clearBar();
    std::fputs(waitForEnter_ ? "Programming Card check: Please remove Programming Card first,\n"
                               "then press Enter.\n"
                             : "Programming Card check: Please remove Programming Card first.\n",
               out_);
    std::fflush(out_);
    // Ctrl-C ends the wait as any other: the download then goes on to "Cancelled".
    if (waitForEnter_ && platform::waitForInput(in_, stop_)) {
        int c = 0;
        while ((c = std::fgetc(in_)) != EOF && c != '\n') {
        }
    }
}

void ConsoleObserver::explainStatus(std::string_view reason) {
    clearBar();
    std::fprintf(err_, "korvath-cli: %s\n", platform::printable(reason).c_str());
    std::fflush(err_);
}

std::string RepeatedReports::add(const platform::Fault& fault) {
    const std::string shown =
        std::to_string(static_cast<int>(fault.number)) + " - " + platform::printable(fault.text);
    std::string key = shown;
    if (!key.empty() && key.back() == ')') {
        if (const std::size_t open = key.rfind(" ("); open != std::string::npos) key.resize(open);
    }
    if (key == key_) {
        ++repeats_;
        return {};
    }
    std::string text = flush();
    key_ = std::move(key);
    shown_ = key_;
    repeats_ = 0;
    return text + shown + "\n";
}

std::string RepeatedReports::flush() {
    std::string text;
    if (repeats_ > 0) text = shown_ + " (x" + std::to_string(repeats_ + 1) + ")\n";
    key_.clear();
    repeats_ = 0;
    return text;
}

void ConsoleObserver::reportError(const platform::Fault& fault) {
    const std::string text = reports_.add(fault);
    if (text.empty()) return;
    clearBar();
    std::fputs(text.c_str(), err_);
    std::fflush(err_);
}

void ConsoleObserver::finish() {
    clearBar();
    const std::string repeats = reports_.flush();
    if (repeats.empty()) return;
    std::fputs(repeats.c_str(), err_);
    std::fflush(err_);
}

}  // namespace korvath::line
