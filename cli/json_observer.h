// Machine-readable progress: one JSON object per event on one line, for a test executive that
// drives downloads without reading English. Every event names its port ("port") and its kind
// ("event"): status (text, severity "normal" or "error"), explanation (text: why a refused
// image was refused), progress (phase; done of total what the phase counts: probes, password
// rounds, sectors, records or seconds), error (number, text: a fault of the serial exchange) and
// result (the unit's verdict).
#pragma once

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "download/observer.h"

namespace korvath::cli {

struct UnitRecord;

/// The phase in lower case ("connecting", "erasing", ...), as events and the progress board
/// name it.
[[nodiscard]] const char* phaseName(download::Phase phase);

/// The event lines (each ending in "\n"). `unit` is set in station mode.
[[nodiscard]] std::string statusEvent(const std::string& port, std::optional<int> unit,
                                      std::string_view text, download::Severity severity);
[[nodiscard]] std::string progressEvent(const std::string& port, std::optional<int> unit,
                                        const download::Progress& progress);
[[nodiscard]] std::string errorEvent(const std::string& port, std::optional<int> unit, int number,
                                     const std::string& text);
/// result, exit, seconds and model of `record`.
[[nodiscard]] std::string resultEvent(const UnitRecord& record);

/// Where the ports' events go: whole lines, one thread at a time.
class EventStream {
  public:
    explicit EventStream(std::FILE* out) : out_(out) {}
    void write(const std::string& line);

  private:
    std::mutex mutex_;
    std::FILE* out_;
};

/// One unit's reports as events. The programming-card question is a status, never a prompt.
class JsonObserver final : public download::DownloadObserver {
  public:
    JsonObserver(EventStream& stream, std::string port, std::optional<int> unit)
        : stream_(stream), port_(std::move(port)), unit_(unit) {}

    void showStatus(std::string_view text, download::Severity severity) override;
    void explainStatus(std::string_view reason) override;
    void showProgress(const download::Progress& progress) override;
    void askToRemoveProgrammingCard() override;
    void reportError(int number, const std::string& description) override;

  private:
    EventStream& stream_;
    std::string port_;
    std::optional<int> unit_;
    std::optional<download::Progress> last_;
};

/// The programming-card question as one status text.
inline constexpr std::string_view kCardStatus =
    "Programming Card check: Please remove Programming Card first";

}  // namespace korvath::cli
