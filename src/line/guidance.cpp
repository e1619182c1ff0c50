#include "line/guidance.h"

#include "download/progress_text.h"
#include "line/audit_log.h"
#include "platform/escape.h"

namespace korvath::line {

namespace {

constexpr std::string_view kIncomplete =
    "The controller's flash is incomplete: erasing had begun. Run the download again before "
    "using the controller.\n";

}  // namespace

std::string guidanceAfter(download::Ending ending, download::FlashState flash, bool passwordPassed,
                          std::string_view port) {
    using download::Ending;
    using download::FlashState;
    if (ending == Ending::Cancelled) {
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
    if (ending == Ending::Done) return {};
    if (ending == Ending::NoConnection) {
        std::string text = "No controller answered on " + platform::printable(port) + ". Check:\n";
        for (const std::string_view check : download::kConnectionChecks)
            text.append("  - ").append(check).append("\n");
        return text + "  - the port is the controller's (korvath-cli --list-ports)\n";
    }
    if (flash == FlashState::Incomplete) return std::string(kIncomplete);
    return {};
}

std::string causeLine(const download::DownloadResult& result, std::string_view port) {
    using download::Cause;
    const std::string line = "the cable, the adapter, and that no other program has " +
                             platform::printable(port) + " open.\n";
    const std::string reply = hexBytes(result.reply);
    switch (result.cause) {
        case Cause::None:
        case Cause::NotConnected:
        case Cause::ImageRefused:
        case Cause::Cancelled:
            return {};
        case Cause::Refused:
            return "Cause: the controller refused (NAK) what was sent to it. Check that the "
                   "image is meant for this controller; if it refuses again, its flash may be "
                   "faulty.\n";
        case Cause::Garbled:
            return "Cause: the reply was garbled (" + reply.substr(0, 32) +
                   " instead of ACK or NAK). Check " + line;
        case Cause::NoReply:
            return "Cause: the controller did not reply in time. Check " + line;
        case Cause::Noise:
            return "Cause: the line is noisy: something else is sending. Check " + line;
        case Cause::PortLost:
            return "Cause: the port was lost: the adapter was unplugged or stopped working. "
                   "Check the adapter's plug and cable, then run the download again.\n";
        case Cause::WrongPassword:
            return "Cause: the controller refused every password. Check that it is a "
                   "controller this tool programs and that it is in its bootloader.\n";
        case Cause::EraseFailed:
            return "Cause: the controller could not erase sector " +
                   std::to_string(result.failedSector.value_or(0)) +
                   " of its flash. Run the download again; if the same sector fails, the "
                   "controller's flash is faulty.\n";
        case Cause::LogFailed:
            return "Cause: the unit's record could not be written to the log.\n";
    }
    return {};
}

std::string guidanceAfter(const download::DownloadResult& result, std::string_view port) {
    return causeLine(result, port) +
           guidanceAfter(result.ending, result.flash, result.model.has_value(), port);
}

void printGuidance(const download::DownloadResult& result, std::string_view port, std::FILE* err) {
    const std::string text = guidanceAfter(result, port);
    if (text.empty()) return;
    std::fputs(text.c_str(), err);
    std::fflush(err);
}

}  // namespace korvath::line
