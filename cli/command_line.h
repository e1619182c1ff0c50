// korvath-cli's own part of the command line: the options of the line and of the console, the
// nearest option to a mistyped one, and --check's report.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "line/console_modes.h"
#include "line/plan.h"

namespace CLI {
class App;
}

namespace korvath::cli {

/// Adds --station, --log FILE, --json, --tag KEY=VALUE, --ask-serial and --skip-erased to
/// `app`, filling `options`.
void addLineOptions(CLI::App& app, line::LineOptions& options);

/// Adds --quiet and --trace to `app`, filling `modes`.
void addConsoleModes(CLI::App& app, line::ConsoleModes& modes);

/// The option of `app` nearest to the mistyped `typed` ("--prot": "--port"), by the fewest
/// letters to insert, delete or change; empty when none is near enough to be meant.
[[nodiscard]] std::string nearestOption(const std::string& typed, const CLI::App& app);

enum class CheckFormat { Text, Json };

/// korvath-cli --check IMAGE: the facts one "key: value" a line on `out` (Json: one object
/// with the same keys, "exit", "time" and for a refusal "status", "line" and "reason"), the
/// reason for a refusal on `err`. Names are shown escaped. Returns the exit code.
int runCheck(const std::filesystem::path& path, const std::string& shownName, std::FILE* out,
             std::FILE* err, CheckFormat format = CheckFormat::Text);

}  // namespace korvath::cli
