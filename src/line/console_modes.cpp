#include "line/console_modes.h"

#include <cstdint>
#include <cstdio>
#include <utility>

namespace korvath::line {

namespace {

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string traceLine(double ms, std::string_view phase, char direction, const std::string& what) {
    char head[48];
    std::snprintf(head, sizeof head, "%10.3f ms  %-8.*s %c ", ms, static_cast<int>(phase.size()),
                  phase.data(), direction);
    return head + what + "\n";
}

}  // namespace

std::string_view tracePhase(const download::Progress& progress) {
    switch (progress.phase) {
        case download::Phase::Connecting:
            return progress.count == download::Count::PasswordRound ? "password" : "connect";
        case download::Phase::Erasing:
            return "erase";
        case download::Phase::Programming:
            return "program";
        case download::Phase::Resetting:
            return "reset";
    }
    return "connect";
}

std::string traceLines(const link::WireExchange& exchange, double startMs, std::string_view phase) {
    using Status = link::ExchangeResult::Status;
    const link::ExchangeResult& result = exchange.result;
    std::string reply;
    switch (result.status) {
        case Status::Replied:
            reply = hexBytes(result.reply);
            break;
        case Status::TimedOut:
            reply = result.reply.empty()
                        ? "nothing within " + std::to_string(exchange.timeoutMs) + " ms"
                        : hexBytes(result.reply) + " (still arriving after " +
                              std::to_string(exchange.timeoutMs) + " ms)";
            break;
        case Status::NotSent:
        case Status::Failed:
            reply = result.reply.empty() ? "failed" : hexBytes(result.reply) + " (failed)";
            break;
    }
    return traceLine(exchange.sentMs - startMs, phase, '>', hexBytes(exchange.frame)) +
           traceLine(exchange.endedMs - startMs, phase, '<', reply);
}

ModeObserver::ModeObserver(download::DownloadObserver& inner, ConsoleModes modes,
                           link::Clock& clock, std::FILE* err, std::string prefix)
    : inner_(inner),
      modes_(modes),
      err_(err),
      startMs_(clock.nowMs()),
      prefix_(std::move(prefix)) {}

void ModeObserver::showStatus(std::string_view text, download::Severity severity) {
    if (modes_.quiet && severity == download::Severity::Normal) {
        heldBack_.emplace(text);
        return;
    }
    heldBack_.reset();
    inner_.showStatus(text, severity);
}

void ModeObserver::showProgress(const download::Progress& progress) {
    progress_ = progress;
    if (!modes_.quiet) inner_.showProgress(progress);
}

void ModeObserver::exchanged(const link::WireExchange& exchange) {
    if (!modes_.trace) return;
    std::string lines = traceLines(exchange, startMs_, tracePhase(progress_));
    if (!prefix_.empty()) {
        lines.insert(0, prefix_);
        lines.insert(lines.find('\n') + 1, prefix_);
    }
    // One write for both lines: the ports' traces never mix within an exchange.
    std::fputs(lines.c_str(), err_);
    std::fflush(err_);
}

void ModeObserver::finish() {
    if (heldBack_) inner_.showStatus(*heldBack_, download::Severity::Normal);
    heldBack_.reset();
}

}  // namespace korvath::line
