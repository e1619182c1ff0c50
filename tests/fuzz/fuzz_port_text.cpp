// The port box takes any text; reading it must never crash and must classify every text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "link/port_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const korvath::link::PortSpec spec = korvath::link::parsePortText(text);
    using Kind = korvath::link::PortSpec::Kind;
    if (spec.kind == Kind::Number &&
        (spec.number < korvath::link::kMinPortNumber || spec.number > korvath::link::kMaxPortNumber)) {
        std::abort();
    }
    if (spec.kind == Kind::Simulated && (spec.number < 1 || spec.number > 3)) std::abort();
    if (spec.kind == Kind::Name && spec.name.empty()) std::abort();
    return 0;
}
