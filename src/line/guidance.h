// What the user should do after a download that did not end in "Done!": printed on standard
// error, after the status lines, so that standard output keeps one status text per line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "download/downloader.h"

namespace korvath::line {

/// The advice for a download that ended with `ending` and left its flash in `flash`, on port
/// `port`; empty when there is nothing to add. `passwordPassed`: a controller accepted a
/// password (the exit frame was then sent).
[[nodiscard]] std::string guidanceAfter(download::Ending ending, download::FlashState flash,
                                        bool passwordPassed, std::string_view port);

/// One line on why a download that ended with `result` failed, in the words of a technician,
/// and what to check; empty when the status and the advice after it say it already (no
/// controller answered, a refused image, a cancel, "Done!").
[[nodiscard]] std::string causeLine(const download::DownloadResult& result, std::string_view port);

/// causeLine() and guidanceAfter() for a download that ended with `result`.
[[nodiscard]] std::string guidanceAfter(const download::DownloadResult& result,
                                        std::string_view port);

/// Prints guidanceAfter() for `result` to `err`, if there is any.
void printGuidance(const download::DownloadResult& result, std::string_view port, std::FILE* err);

}  // namespace korvath::line
