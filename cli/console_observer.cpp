#include "console_observer.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace korvath::cli {

namespace {

constexpr int kBarWidth = 30;
// Redrawing a terminal line thousands of times a minute costs more than it shows.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

std::string formatDuration(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char buffer[32];
    if (total >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, (total / 60) % 60,
                      total % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%02ld:%02ld", total / 60, total % 60);
    }
    return buffer;
}

ConsoleObserver::ConsoleObserver(std::FILE* out, std::FILE* err, std::FILE* in, bool drawBar,
                                 bool waitForEnter)
    : out_(out), err_(err), in_(in), drawBar_(drawBar), waitForEnter_(waitForEnter) {}

void ConsoleObserver::clearBar() {
    if (barShown_) {
        std::fputs("\r\033[K", err_);
        std::fflush(err_);
        barShown_ = false;
    }
}

void ConsoleObserver::showStatus(std::string_view text, download::Severity) {
    clearBar();
    lastStatus_.assign(text);
    std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(out_);
}

void ConsoleObserver::showProgress(const download::Progress& progress) {
    const auto now = Clock::now();
    if (progress.phase != download::Phase::Programming) {
        programmingBase_.reset();
    } else if (!programmingBase_) {
        // Programming began where the step before its first record left the bar.
        programmingBase_ = last_.done;
        programmingStart_ = lastAt_ == Clock::time_point{} ? now : lastAt_;
    }
    last_ = progress;
    lastAt_ = now;
    if (!drawBar_) return;
    const bool atEnd = progress.done >= progress.total;
    if (barShown_ && !atEnd && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    drawBar(progress);
}

void ConsoleObserver::drawBar(const download::Progress& progress) {
    const double fraction =
        progress.total > 0
            ? std::clamp(static_cast<double>(progress.done) / progress.total, 0.0, 1.0)
            : 0.0;
    const int filled = static_cast<int>(fraction * kBarWidth + 0.5);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');

    std::string detail;
    if (programmingBase_) {
        const long done = progress.done - *programmingBase_;
        const long total = std::max(done, static_cast<long>(progress.total - *programmingBase_));
        const double elapsed =
            std::chrono::duration<double>(Clock::now() - programmingStart_).count();
        detail = std::to_string(done) + "/" + std::to_string(total) + " records  " +
                 formatDuration(elapsed) + " elapsed";
        if (done > 0) {
            detail += "  " + formatDuration(elapsed / done * (total - done)) + " left";
        }
    } else {
        detail = std::to_string(progress.done) + "/" + std::to_string(progress.total);
    }
    std::fprintf(err_, "\r\033[K[%s] %s", bar.c_str(), detail.c_str());
    std::fflush(err_);
    barShown_ = true;
}

void ConsoleObserver::askToRemoveProgrammingCard() {
    clearBar();
    std::fputs(
        "Programming Card check: Please remove Programming Card first,\n"
        "then close this window.\n",
        out_);
    if (waitForEnter_) std::fputs("Press Enter when the card is removed. ", out_);
    std::fflush(out_);
    if (waitForEnter_) {
        int c = 0;
        while ((c = std::fgetc(in_)) != EOF && c != '\n') {
        }
    }
}

void ConsoleObserver::reportError(int number, const std::string& description) {
    clearBar();
    std::fprintf(err_, "%d - %s\n", number, description.c_str());
    std::fflush(err_);
}

void ConsoleObserver::finish() {
    clearBar();
}

}  // namespace korvath::cli
