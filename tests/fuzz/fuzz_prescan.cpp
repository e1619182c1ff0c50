// The image checks over arbitrary file bytes: they must end, refuse what they cannot vouch for,
// give no reason when they accept, and the offline check must agree with the pre-scan of every
// model.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/check.h"
#include "image/image_file.h"
#include "image/prescan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    using korvath::link::protocol::Model;
    const auto model = static_cast<Model>(1 + data[0] % 3);
    const korvath::image::ImageFile image(
        "fuzz.shx", std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    const korvath::image::PrescanResult result = korvath::image::prescanImage(image, model);
    if (result.accepted) {
        if (!result.refusals.empty()) std::abort();
        if (result.imageKind != 1 && result.imageKind != 2) std::abort();
        if (result.imageKind == 2 && model != Model::M3) std::abort();
        if (result.lastRecordLine < 2) std::abort();
    } else if (result.refusals.empty()) {
        std::abort();  // every refusal says why
    }
    if (size - 1 == 0 && (result.accepted || result.refusals.size() != 1)) std::abort();

    const korvath::image::ImageCheck check = korvath::image::checkImage(image);
    const auto& models = check.facts.models;
    const bool listed = std::find(models.begin(), models.end(), model) != models.end();
    if (result.accepted != listed) std::abort();
    if (check.accepted != !models.empty() || check.accepted != check.refusals.empty()) std::abort();
    return 0;
}
