#include "guidance.h"

#include "download/progress_text.h"
#include "platform/escape.h"

namespace korvath::cli {

namespace {

constexpr std::string_view kIncomplete =
    "The controller's flash is incomplete: erasing had begun. Run the download again before "
    "using the controller.\n";

}  // namespace

std::string guidanceAfter(download::Outcome outcome, std::string_view lastStatus,
                          download::FlashState flash, bool passwordPassed, std::string_view port) {
    using download::FlashState;
    using download::Outcome;
    if (outcome == Outcome::Cancelled) {
        switch (flash) {
            case FlashState::Untouched:
                return passwordPassed ? "Cancelled before erasing: the controller left "
                                        "programming mode and its flash is unchanged.\n"
                                      : "Cancelled before the password was accepted: the "
                                        "controller's flash is unchanged.\n";
            case FlashState::Incomplete:
                return "Cancelled after erasing began: the controller left programming mode, "
                       "but its flash is incomplete. Run the download again before using the "
                       "controller.\n";
            case FlashState::Written:
                return "Cancelled in the reset wait: the image was written completely and the "
                       "controller left programming mode.\n";
        }
    }
    if (outcome == Outcome::Done) return {};
    if (lastStatus == download::text::ConnectionError) {
        std::string text = "No controller answered on " + platform::printable(port) + ". Check:\n";
        for (const std::string_view check : download::kConnectionChecks)
            text.append("  - ").append(check).append("\n");
        return text + "  - the port is the controller's (korvath-cli --list-ports)\n";
    }
    if (flash == FlashState::Incomplete) return std::string(kIncomplete);
    return {};
}

std::string guidanceAfter(const download::DownloadResult& result, std::string_view port) {
    return guidanceAfter(result.outcome, result.lastStatus, result.flash, result.model.has_value(),
                         port);
}

void printGuidance(const download::DownloadResult& result, std::string_view port, std::FILE* err) {
    const std::string text = guidanceAfter(result, port);
    if (text.empty()) return;
    std::fputs(text.c_str(), err);
    std::fflush(err);
}

}  // namespace korvath::cli
