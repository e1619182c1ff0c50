#include "image/check.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "image/record.h"

namespace korvath::image {

namespace {

namespace protocol = link::protocol;

constexpr double kAckBytes = 1;

}  // namespace

double lineSecondsPerRecord() {
    return ((protocol::kProgramFrameLength + kAckBytes) * protocol::kByteTimeMs +
            protocol::kReplyQuietMs) /
           1000.0;
}

std::string hexDigest(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

ImageCheck checkImage(const ImageFile& image, const Sha256Function& sha256) {
    ImageCheck check;
    ImageFacts& facts = check.facts;
    facts.bytes = image.bytes().size();
    facts.lines = image.lineCount();
    if (sha256) facts.sha256 = hexDigest(sha256(image.bytes()));

    const detail::LineScan scan = detail::scanLines(image);
    facts.kind = scan.imageKind;
    const std::int32_t lastSent = scan.endLine > 0 ? scan.endLine - 1 : image.lineCount() - 1;
    for (std::int32_t number = 2; number <= lastSent; ++number) {
        const std::string_view line = image.line(number);
        if (!beginsWith(line, kDataRecordPrefix)) continue;
        const std::uint32_t address = recordAddress(line);
        facts.lowest = facts.records == 0 ? address : std::min(facts.lowest, address);
        facts.highest = std::max(facts.highest, address);
        ++facts.records;
        if (number < lastSent && isErasedState(dataRecord(line))) ++facts.erasedRecords;
    }
    facts.lineSeconds = facts.records * lineSecondsPerRecord();

    check.refusals = scan.refusals;
    if (!check.refusals.empty()) return check;

    // The image is accepted when the pre-scan of at least one model takes it. The record rules
    // are judged per model, since the model decides some of them (kind 2 only on model 3, the
    // ninth sector only there, and model 3 writes the last record at E8FFC0, so a record that
    // also says E7FFC0 is a second write elsewhere only). When every model refuses, the reason
    // that holds without a model comes first.
    const std::optional<Refusal> shared = detail::refusalOfRecords(image, scan, std::nullopt);
    std::vector<Refusal> lastRefusals;
    for (const protocol::ModelFacts& model : protocol::kModels) {
        const PrescanResult result = prescanImage(image, model.model);
        if (result.accepted) {
            facts.models.push_back(model.model);
        } else {
            lastRefusals = result.refusals;
        }
    }
    if (facts.models.empty()) {
        check.refusals = shared ? std::vector<Refusal>{*shared} : std::move(lastRefusals);
        return check;
    }
    check.accepted = true;
    return check;
}

}  // namespace korvath::image
