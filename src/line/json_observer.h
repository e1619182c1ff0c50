// Machine-readable progress: one JSON object per event on one line, for a test executive that
// drives downloads without reading English. Every event names its kind ("event") and carries
// its time ("time", UTC with milliseconds); the events of a port name it ("port", and "unit" in
// station mode): status (text, severity "normal" or "error"), explanation (text: why a refused
// image was refused), progress (phase; done of total what the phase counts: probes, password
// rounds, sectors, records or seconds), error (number, text: a fault of the serial exchange)
// and result. Every unit ends with a result event ("scope": "unit"), and so does the whole run
// ("scope": "run"), whatever ended it.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "download/observer.h"
#include "line/audit_log.h"

namespace korvath::line {

using Event = nlohmann::json;
using WallClock = std::function<std::chrono::system_clock::time_point()>;

/// The phase in lower case ("connecting", "erasing", ...), as events and the progress board
/// name it.
[[nodiscard]] const char* phaseName(download::Phase phase);

/// The events without their time. `unit` is set in station mode.
[[nodiscard]] Event statusEvent(const std::string& port, std::optional<int> unit,
                                std::string_view text, download::Severity severity);
[[nodiscard]] Event explanationEvent(const std::string& port, std::optional<int> unit,
                                     std::string_view text);
[[nodiscard]] Event progressEvent(const std::string& port, std::optional<int> unit,
                                  const download::Progress& progress);
[[nodiscard]] Event errorEvent(const std::string& port, std::optional<int> unit,
                               const platform::Fault& fault);
/// A unit's verdict (see verdictFields), with its port.
[[nodiscard]] Event resultEvent(const UnitRecord& record);

/// How a whole run ended: its exit code, the result text ("Done!", "Failed", "Cancelled", a
/// refused image's status, ...), the units that passed and failed, and the tags.
struct RunResult {
    int exit = 0;
    std::string result;
    int passed = 0;
    int failed = 0;
    std::string reason{};   ///< why the run could not start; empty otherwise
    std::int32_t line = 0;  ///< the image line a refusal concerns; 0 for the whole file
    Tags tags{};
};
[[nodiscard]] Event runResultEvent(const RunResult& run);

/// `event` stamped with `when` as one line ending in "\n".
[[nodiscard]] std::string eventLine(Event event, std::chrono::system_clock::time_point when);

/// Where the ports' events go: whole lines, one thread at a time, each stamped with the time
/// it is written.
class EventStream {
  public:
    explicit EventStream(std::FILE* out, WallClock now = &std::chrono::system_clock::now)
        : out_(out), now_(std::move(now)) {}
    /// False when the line could not be written.
    bool write(Event event);

  private:
    std::mutex mutex_;
    std::FILE* out_;
    WallClock now_;
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
    void reportError(const platform::Fault& fault) override;

  private:
    EventStream& stream_;
    std::string port_;
    std::optional<int> unit_;
    std::optional<download::Progress> last_;
};

/// The programming-card question as one status text.
inline constexpr std::string_view kCardStatus =
    "Programming Card check: Please remove Programming Card first";

}  // namespace korvath::line
