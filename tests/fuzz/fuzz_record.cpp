// checkRecord and the program frame over arbitrary lines: the frame is always 73 bytes with a
// right checksum, and an accepted line's frame carries exactly that line's address and data.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/record.h"
#include "link/link.h"
#include "support/fake_port.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}

std::uint8_t byteAt(const std::string& line, std::size_t position) {
    return static_cast<std::uint8_t>(hex(line[position - 1]) * 16 + hex(line[position]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string original(reinterpret_cast<const char*>(data), size);
    const bool accepted = korvath::image::checkRecord(original);
    if (!korvath::image::beginsWith(original, "S244")) {
        check(!accepted);
        return 0;
    }

    korvath::test::VirtualClock clock;
    korvath::test::FakePort port(clock, [](auto, double) { return korvath::test::reply(0x06); });
    korvath::link::Link link(port, clock);
    check(link.program(korvath::image::dataRecord(original)) == korvath::link::Answer::Accepted);

    check(port.frames().size() == 1);
    const auto& frame = port.frames()[0];
    check(frame.size() == 73);
    int sum = 0;
    for (std::size_t i = 0; i < 71; ++i) sum += frame[i];
    check(frame[71] == sum % 256 && frame[72] == ((sum / 256) | 0x80));
    check(frame[0] == 0x1B && frame[1] == 0x74 && frame[2] == 0x43 && frame[70] == 0x04);

    if (accepted) {
        check(frame[3] == byteAt(original, 9) && frame[4] == byteAt(original, 7) &&
              frame[5] == byteAt(original, 5));
        for (std::size_t j = 0; j < 64; ++j) {
            const std::size_t index = 6 + (j ^ 1);
            check(frame[index] == byteAt(original, 11 + 2 * j));
        }
    }
    return 0;
}
