// The pre-scan over arbitrary file bytes: it must end, refuse what it cannot vouch for, and give
// no reason when it accepts.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "image/prescan.h"

namespace {

// One file per process, named at random so that fuzzing jobs side by side never share it.
std::filesystem::path scratchFile() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("korvath-fuzz-prescan-" + std::to_string(std::random_device{}()));
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto model = static_cast<korvath::link::protocol::Model>(1 + data[0] % 3);
    {
        std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
        if (!out) return 0;
    }
    const korvath::image::PrescanResult result = korvath::image::PrescanImage(scratchFile(), model);
    if (result.accepted) {
        if (!result.refusals.empty()) std::abort();
        if (result.imageKind != 1 && result.imageKind != 2) std::abort();
        if (result.imageKind == 2 && model != korvath::link::protocol::Model::M3) std::abort();
        if (result.lastRecordLine < 2) std::abort();
    }
    if (size - 1 == 0 && (result.accepted || result.refusals.size() != 1)) std::abort();
    return 0;
}
