// The port box takes any text; reading it must never crash and must classify every text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ports/port_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto read = korvath::ports::parsePortText(text);
    if (!read) {
        if (read.fault().text.empty()) std::abort();
        return 0;
    }
    const korvath::ports::ParsedPort& parsed = *read;
    using Kind = korvath::ports::ParsedPort::Kind;
    if (parsed.kind == Kind::Number && (parsed.number < korvath::ports::kMinPortNumber ||
                                        parsed.number > korvath::ports::kMaxPortNumber)) {
        std::abort();
    }
    if (parsed.kind == Kind::Simulated && (parsed.number < 1 || parsed.number > 3)) std::abort();
    if (parsed.kind == Kind::Name && parsed.name.empty()) std::abort();
    return 0;
}
