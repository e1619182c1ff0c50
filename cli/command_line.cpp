#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "image/check.h"
#include "line/audit_log.h"
#include "line/image_check.h"
#include "line/json_observer.h"
#include "platform/escape.h"
#include "platform/platform.h"

namespace korvath::cli {

using line::CheckedImage;
using line::Event;
using line::hexAddress;
using line::jsonText;
using line::kExitRefused;

void addLineOptions(CLI::App& app, line::LineOptions& options) {
    app.add_flag("--station", options.station,
                 "Station mode: on every port, wait for a controller, download, wait until it "
                 "leaves, and again, until Ctrl-C; then print the totals");
    app.add_option("--log", options.logPath,
                   "Append one JSON line per unit to FILE (the audit record), a regular file");
    app.add_flag("--json", options.json,
                 "Print one JSON object per event (status, explanation, progress, error, result) "
                 "instead of text");
    app.add_option("--tag", options.tagTexts,
                   "KEY=VALUE copied into every log line and result event under \"tags\" "
                   "(operator, batch, fixture); repeatable")
        ->allow_extra_args(false);
    app.add_flag("--ask-serial", options.askSerial,
                 "Before each unit's download, ask for its serial number on standard input (a "
                 "barcode scanner types it and Enter) and log it as \"serial\"");
    app.add_flag("--skip-erased", options.skipErased,
                 "Leave out records whose 64 data bytes are all 0xFF (padding): the erased flash "
                 "already holds them. The last record is always sent");
}

std::string nearestOption(const std::string& typed, const CLI::App& app) {
    const std::string name = typed.substr(0, typed.find('='));
    const auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min(
                    {row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    std::string nearest;
    // Two letters wrong, or a third of a long name, is still a typing error.
    std::size_t best = std::max<std::size_t>(2, name.size() / 3) + 1;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& known : option->get_lnames()) {
            const std::string candidate = "--" + known;
            if (const std::size_t d = distance(name, candidate); d < best) {
                best = d;
                nearest = candidate;
            }
        }
    }
    return nearest;
}

void addConsoleModes(CLI::App& app, line::ConsoleModes& modes) {
    app.add_flag("-q,--quiet", modes.quiet, "Print only the failures and the final status");
    app.add_flag("--trace", modes.trace,
                 "Print every frame sent and every reply in hex on standard error, with the "
                 "milliseconds since the start and the phase; no progress line");
}

int runCheck(const std::filesystem::path& path, const std::string& shownName, std::FILE* out,
             std::FILE* err, CheckFormat format) {
    using platform::printable;
    const CheckedImage checked = line::checkImageFile(path);
    const bool json = format == CheckFormat::Json;
    if (checked.read.failure == image::ReadFailure::TooLong) {
        // Refused unread: its size is the one fact known, and the limit it passes.
        std::error_code ec;
        const std::uintmax_t bytes = std::filesystem::file_size(path, ec);
        const std::string why =
            bytes > image::kMaxImageBytes
                ? "more than " + std::to_string(image::kMaxImageBytes) + " bytes"
                : "more than " + std::to_string(image::kMaxImageLines) + " lines";
        const std::string status(image::text::FileTooLong);
        if (json) {
            const Event object{{"image", jsonText(platform::utf8Text(path))},
                               {"bytes", bytes},
                               {"result", "refused"},
                               {"exit", checked.exitCode},
                               {"status", status},
                               {"line", 0},
                               {"reason", why}};
            std::fputs(line::eventLine(object, std::chrono::system_clock::now()).c_str(), out);
        } else {
            std::fprintf(out, "image: %s\n", printable(platform::utf8Text(path)).c_str());
            std::fprintf(out, "bytes: %ju\n", bytes);
            std::fprintf(out, "result: refused\n");
        }
        std::fflush(out);
        std::fprintf(err, "korvath-cli: image %s refused: %s (%s)\n", printable(shownName).c_str(),
                     status.c_str(), why.c_str());
        return checked.exitCode;
    }
    if (!checked.read.image) {
        const std::string reason = line::unreadableReason(checked.read);
        const std::string why = reason.empty() ? checked.read.fault.text : reason;
        std::fprintf(err, "korvath-cli: image %s %s\n", printable(shownName).c_str(),
                     printable(why).c_str());
        if (json) {
            const Event object{
                {"image", jsonText(platform::utf8Text(path))},
                {"result", checked.exitCode == kExitRefused ? "refused" : "unreadable"},
                {"exit", checked.exitCode},
                {"reason", jsonText(why)}};
            std::fputs(line::eventLine(object, std::chrono::system_clock::now()).c_str(), out);
            std::fflush(out);
        }
        return checked.exitCode;
    }
    const image::ImageFacts& facts = checked.check.facts;
    std::string models;
    for (const link::Model model : facts.models) {
        if (!models.empty()) models += ' ';
        models += std::to_string(link::protocol::number(model));
    }
    const bool accepted = checked.check.accepted;
    if (json) {
        Event object{{"image", jsonText(platform::utf8Text(path))},
                     {"bytes", facts.bytes},
                     {"lines", facts.lines},
                     {"records", facts.records},
                     {"lowest", facts.records > 0 ? Event(hexAddress(facts.lowest)) : Event()},
                     {"highest", facts.records > 0 ? Event(hexAddress(facts.highest)) : Event()},
                     {"kind", facts.kind},
                     {"models", Event::array()},
                     {"sha256", facts.sha256},
                     {"line_seconds", std::round(facts.lineSeconds * 10) / 10},
                     {"erased_records", facts.erasedRecords},
                     {"result", accepted ? "accepted" : "refused"},
                     {"exit", checked.exitCode}};
        for (const link::Model model : facts.models) {
            object["models"].push_back(link::protocol::number(model));
        }
        if (!accepted) {
            const image::Refusal& refusal = checked.check.refusals.front();
            object["status"] = jsonText(refusal.status);
            object["line"] = refusal.line;
            object["reason"] = jsonText(refusal.reason);
        }
        std::fputs(line::eventLine(std::move(object), std::chrono::system_clock::now()).c_str(),
                   out);
    } else {
        std::fprintf(out, "image: %s\n", printable(platform::utf8Text(path)).c_str());
        std::fprintf(out, "bytes: %ju\n", facts.bytes);
        std::fprintf(out, "lines: %d\n", static_cast<int>(facts.lines));
        std::fprintf(out, "records: %d\n", static_cast<int>(facts.records));
        std::fprintf(out, "lowest: %s\n",
                     facts.records > 0 ? hexAddress(facts.lowest).c_str() : "-");
        std::fprintf(out, "highest: %s\n",
                     facts.records > 0 ? hexAddress(facts.highest).c_str() : "-");
        std::fprintf(out, "kind: %d\n", static_cast<int>(facts.kind));
        std::fprintf(out, "models: %s\n", models.empty() ? "-" : models.c_str());
        std::fprintf(out, "sha256: %s\n", facts.sha256.c_str());
        std::fprintf(out, "line_seconds: %.1f\n", facts.lineSeconds);
        std::fprintf(out,
                     "erased_records: %d of %d records are erased-state (0xFF) and would be left "
                     "out with --skip-erased\n",
                     static_cast<int>(facts.erasedRecords), static_cast<int>(facts.records));
        std::fprintf(out, "result: %s\n", accepted ? "accepted" : "refused");
    }
    std::fflush(out);
    if (!accepted) {
        std::fprintf(err, "korvath-cli: image %s refused: %s\n", printable(shownName).c_str(),
                     printable(line::refusalText(checked.check.refusals.front())).c_str());
    }
    return checked.exitCode;
}

}  // namespace korvath::cli
