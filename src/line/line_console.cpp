#include "line/line_console.h"

#include <algorithm>

#include "line/console_observer.h"
#include "line/json_observer.h"
#include "platform/escape.h"

namespace korvath::line {

namespace {

constexpr int kBoardBarWidth = 20;
// Several ports redraw together: ten times a second is enough to see each move.
constexpr auto kBoardInterval = std::chrono::milliseconds(100);

std::vector<std::string> printableNames(const std::vector<std::string>& names) {
    std::vector<std::string> shown;
    for (const std::string& name : names) shown.push_back(platform::printable(name));
    return shown;
}

}  // namespace

std::string boardLine(const std::string& port, std::size_t portWidth,
                      const download::Progress& progress, const std::string& status, int columns) {
    std::string text = port;
    text.append(portWidth > port.size() ? portWidth - port.size() : 0, ' ');
    text += ' ';
    text += barText(progress.done, progress.total, kBoardBarWidth);
    text += ' ';
    text += std::to_string(progress.done) + "/" + std::to_string(progress.total);
    text += ' ';
    text += phaseName(progress.phase);
    if (!status.empty()) text += "  " + status;
    const std::size_t limit = static_cast<std::size_t>(std::max(columns - 1, 1));
    if (text.size() > limit) text.resize(limit);
    return text;
}

LineConsole::LineConsole(std::vector<std::string> ports, std::FILE* out, std::FILE* err, bool board,
                         int columns, int rows)
    : ports_(printableNames(ports)),
      entries_(ports_.size()),
      out_(out),
      err_(err),
      board_(board),
      columns_(columns),
      rows_(rows) {}

void LineConsole::eraseBoard() {
    if (drawnLines_ == 0) return;
    std::fprintf(err_, "\033[%dA\r\033[J", drawnLines_);
    std::fflush(err_);
    drawnLines_ = 0;
}

void LineConsole::drawBoard() {
    if (!board_) return;
    eraseBoard();
    std::size_t width = 0;
    for (const std::string& port : ports_) width = std::max(width, port.size());
    // Lines that scroll off cannot be redrawn in place: a board taller than the terminal
    // shows the first ports and a count of the rest.
    const std::size_t room = static_cast<std::size_t>(std::max(rows_ - 2, 1));
    const std::size_t shown = ports_.size() <= room ? ports_.size() : room - 1;
    std::string text;
    for (std::size_t i = 0; i < shown; ++i) {
        text += boardLine(ports_[i], width, entries_[i].progress, entries_[i].status, columns_);
        text += '\n';
    }
    if (shown < ports_.size()) {
        text += "... " + std::to_string(ports_.size() - shown) + " more ports\n";
    }
    std::fputs(text.c_str(), err_);
    std::fflush(err_);
    drawnLines_ = static_cast<int>(shown + (shown < ports_.size() ? 1 : 0));
    lastDraw_ = Clock::now();
}

void LineConsole::status(std::size_t port, std::string_view text) {
    const std::lock_guard lock(mutex_);
    entries_[port].status = platform::printable(text);
    eraseBoard();
    std::fprintf(out_, "%s: %s\n", ports_[port].c_str(), entries_[port].status.c_str());
    std::fflush(out_);
    drawBoard();
}

void LineConsole::progress(std::size_t port, const download::Progress& progress) {
    const std::lock_guard lock(mutex_);
    entries_[port].progress = progress;
    if (board_ && Clock::now() - lastDraw_ >= kBoardInterval) drawBoard();
}

void LineConsole::error(std::size_t port, const platform::Fault& fault) {
    const std::lock_guard lock(mutex_);
    const std::string text = entries_[port].reports.add(fault);
    if (text.empty()) return;
    eraseBoard();
    printPrefixed(port, text);
    drawBoard();
}

void LineConsole::printPrefixed(std::size_t port, const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::fprintf(err_, "%s: %s\n", ports_[port].c_str(),
                     platform::printable(text.substr(start, end - start)).c_str());
        start = end + 1;
    }
    std::fflush(err_);
}

void LineConsole::advice(std::size_t port, const std::string& text) {
    const std::lock_guard lock(mutex_);
    eraseBoard();
    printPrefixed(port, entries_[port].reports.flush() + text);
    drawBoard();
}

void LineConsole::finish() {
    const std::lock_guard lock(mutex_);
    eraseBoard();
    for (std::size_t port = 0; port < entries_.size(); ++port)
        printPrefixed(port, entries_[port].reports.flush());
    board_ = false;
}

void PortLineObserver::showStatus(std::string_view text, download::Severity) {
    console_.status(port_, text);
}

void PortLineObserver::explainStatus(std::string_view reason) {
    console_.advice(port_, std::string(reason));
}

void PortLineObserver::showProgress(const download::Progress& progress) {
    console_.progress(port_, progress);
}

void PortLineObserver::askToRemoveProgrammingCard() {
    console_.status(port_, kCardStatus);
}

void PortLineObserver::reportError(const platform::Fault& fault) {
    console_.error(port_, fault);
}

}  // namespace korvath::line
