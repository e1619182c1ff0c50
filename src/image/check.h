// The image check without a controller: every rule of the pre-scan that holds for all device
// models, and the facts a person or a script wants to know about an image before flashing it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_file.h"
#include "image/prescan.h"
#include "link/protocol.h"

namespace korvath::image {

/// A SHA-256 digest of some bytes. The image layer stays free of cryptography libraries; the
/// programs pass platform::sha256.
using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha256Function = std::function<Sha256Digest(std::string_view bytes)>;

/// What the check tells about an image.
struct ImageFacts {
    std::uintmax_t bytes = 0;
    std::int32_t lines = 0;
    /// Data records that a download sends: the lines after the header up to the first end line.
    std::int32_t records = 0;
    /// Lowest and highest record address as written in the file; both 0 without records.
    std::uint32_t lowest = 0;
    std::uint32_t highest = 0;
    /// 1 or 2 (see PrescanResult); 0 when no last record and end line were found.
    std::int16_t kind = 0;
    /// The file's SHA-256 in lower-case hex; empty when no digest function was given.
    std::string sha256;
    /// The device models whose pre-scan takes the image.
    std::vector<link::protocol::Model> models;
    /// Time on the line for the records at 38400 baud: each program frame and its ACK, ten bit
    /// times a byte, and the quiet gap that ends every reply. Pauses and erasing are not in it.
    double lineSeconds = 0;
    /// Records other than the one sent last whose 64 data bytes are all 0xFF: those a download
    /// that leaves out erased-state records does not send (the last record always goes).
    std::int32_t erasedRecords = 0;
};

struct ImageCheck {
    /// True when the image breaks no rule and at least one device model takes it.
    bool accepted = false;
    /// The first refusal gives the status text; empty when accepted.
    std::vector<Refusal> refusals;
    ImageFacts facts;
};

/// Checks `image` as the pre-scan would, for any model: the line rules, then records on 64-byte
/// boundaries inside E00000-E8FFFF, no address twice, and the record at E7FFC0 last before the
/// first end line. `sha256` null: facts.sha256 stays empty.
[[nodiscard]] ImageCheck checkImage(const ImageFile& image, const Sha256Function& sha256 = {});

/// `digest` as 64 lower-case hex digits.
[[nodiscard]] std::string hexDigest(const Sha256Digest& digest);

/// Line time per record at 38400 baud, in seconds (see ImageFacts::lineSeconds).
[[nodiscard]] double lineSecondsPerRecord();

}  // namespace korvath::image
