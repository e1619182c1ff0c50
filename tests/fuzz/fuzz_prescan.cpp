// The pre-scan over arbitrary file bytes: it must end, refuse what it cannot vouch for, and say
// why in the error colour whenever it refuses with a message.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "image/prescan.h"

namespace {

class Sink : public korvath::image::StatusSink {
public:
    void ShowStatus(std::string_view, korvath::image::OleColor colour) override {
        if (colour != korvath::image::StatusColorError) std::abort();
        ++messages;
    }
    int messages = 0;
};

std::filesystem::path scratchFile() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("korvath-fuzz-prescan-" + std::to_string(getpid()));
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int model = 1 + data[0] % 3;
    {
        std::FILE* f = std::fopen(scratchFile().c_str(), "wb");
        if (f == nullptr) return 0;
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }
    Sink sink;
    std::int16_t kind = -1;
    std::int32_t lastLine = -7;
    const bool ok = korvath::image::PrescanImage(scratchFile(), model, kind, lastLine, sink);
    if (ok) {
        if (sink.messages != 0) std::abort();
        if (kind != 1 && kind != 2) std::abort();
        if (kind == 2 && model != 3) std::abort();
        if (lastLine < 2) std::abort();
    }
    if (size - 1 == 0 && (ok || sink.messages != 1)) std::abort();
    return 0;
}
