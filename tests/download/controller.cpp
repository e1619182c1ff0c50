#include "download/controller.h"

#include <string>

#include "link/protocol.h"

namespace korvath::test {

namespace protocol = link::protocol;

std::vector<Chunk> Controller::judge(int& firstRefusals) {
    if (firstRefusals < 0) return reply(protocol::kNak);
    if (firstRefusals > 0) {
        --firstRefusals;
        return reply(protocol::kNak);
    }
    return reply(protocol::kAck);
}

std::vector<Chunk> Controller::answer(std::span<const std::uint8_t> frame) {
    if (frame.size() == 1 && frame[0] == protocol::kProbe) {
        ++probes;
        if (exits > 0) {
            ++probesAfterExit;
            return cardPlugged ? reply(protocol::kAck) : std::vector<Chunk>{};
        }
        const bool answered = firstAckedProbe > 0 && probes >= firstAckedProbe;
        return answered ? reply(protocol::kAck) : std::vector<Chunk>{};
    }
    if (frame.size() < 4 || frame[0] != protocol::kEscape) return {};
    switch (frame[1]) {
        case protocol::kCmdPassword: {
            ++passwordFrames;
            const std::string offered(frame.begin() + 3, frame.begin() + 3 + frame[2]);
            const bool accepted =
                model > 0 &&
                offered == protocol::kModels[static_cast<std::size_t>(model - 1)].password;
            return reply(accepted ? protocol::kAck : protocol::kNak);
        }
        case protocol::kCmdBlankCheck:
            blankChecks.push_back(frame[3]);
            return judge(notBlank[frame[3]]);
        case protocol::kCmdErase:
            erases.push_back(frame[3]);
            return judge(refusedErases[frame[3]]);
        case protocol::kCmdProgram: {
            programFrames.emplace_back(frame.begin(), frame.end());
            const bool refused = static_cast<int>(programFrames.size()) - 1 == refusedRecord;
            return reply(refused ? protocol::kNak : protocol::kAck);
        }
        case protocol::kCmdExit:
            ++exits;
            return reply(protocol::kAck);
        default:
            return {};
    }
}

}  // namespace korvath::test
