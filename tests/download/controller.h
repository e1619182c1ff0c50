// A scripted bootloader on the fake port for the download tests: which probe it first answers,
// which password it takes, how each sector blank-checks and erases, which record it refuses and
// whether a programming card keeps it answering after the reset. It records what it was sent.
#pragma once

#include <map>
#include <span>
#include <vector>

#include "support/fake_port.h"

namespace korvath::test {

struct Controller {
    // Script.
    int firstAckedProbe = 1;      ///< 0: never answers a probe
    int model = 1;                ///< accepted password position; 0: refuses them all
    std::map<int, int> notBlank;  ///< sector -> blank checks answered "not blank" first; -1: all
    std::map<int, int> refusedErases;  ///< sector -> erases refused first; -1: all
    int refusedRecord = -1;            ///< index of the program frame answered with NAK
    bool cardPlugged = false;          ///< still answers probes after the exit frame

    // What it was sent.
    int probes = 0;
    int probesAfterExit = 0;
    int passwordFrames = 0;
    int exits = 0;
    std::vector<int> blankChecks;  ///< sector numbers
    std::vector<int> erases;       ///< sector numbers
    std::vector<Bytes> programFrames;

    [[nodiscard]] Device device() {
        return [this](std::span<const std::uint8_t> frame, double) { return answer(frame); };
    }

  private:
    std::vector<Chunk> answer(std::span<const std::uint8_t> frame);
    static std::vector<Chunk> judge(int& firstRefusals);
};

}  // namespace korvath::test
