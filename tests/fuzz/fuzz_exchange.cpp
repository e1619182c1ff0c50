// Drives the bootloader commands against a device whose replies and timings come from the
// fuzzer's bytes, on the virtual clock. A command may only succeed on a real, timely ACK.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "link/link.h"
#include "support/fake_port.h"

namespace {

using korvath::link::Link;
using korvath::test::Chunk;

class CountingSink : public korvath::link::ErrorSink {
  public:
    void reportError(const korvath::platform::Fault& fault) override {
        if (fault.number == korvath::link::ErrorNumber::DeviceIo) ++portFailures;
    }
    int portFailures = 0;
};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    korvath::test::VirtualClock clock;
    korvath::test::FakePort port(clock);
    CountingSink sink;
    Link link(port, clock, &sink);

    port.setDevice([&input](std::span<const std::uint8_t>, double) {
        std::vector<Chunk> chunks;
        const int parts = input.ConsumeIntegralInRange<int>(0, 4);
        double at = 0;
        for (int i = 0; i < parts; ++i) {
            at += input.ConsumeIntegralInRange<int>(0, 8000) / 4.0;
            const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 70);
            chunks.push_back({at, input.ConsumeBytes<std::uint8_t>(length)});
        }
        return chunks;
    });
    if (input.ConsumeBool())
        port.unplugAt(clock.now() + input.ConsumeIntegralInRange<int>(0, 60000));

    for (int step = 0; step < 12 && input.remaining_bytes() > 0; ++step) {
        bool ok = false;
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
            case 0:
                ok = link.probe();
                break;
            case 1: {
                const std::optional<korvath::link::Model> model = link.unlock();
                ok = model.has_value();
                check(!ok || (korvath::link::protocol::number(*model) >= 1 &&
                              korvath::link::protocol::number(*model) <= 3));
                break;
            }
            case 2:
                ok = link.blankCheck(input.ConsumeIntegralInRange<int>(0, 255)) ==
                     korvath::link::SectorState::Blank;
                break;
            case 3: {
                const auto model =
                    static_cast<korvath::link::Model>(input.ConsumeIntegralInRange<int>(1, 3));
                ok = link.erase(korvath::link::protocol::sectorNumber(
                         model, input.ConsumeIntegralInRange<int>(0, 8))) ==
                     korvath::link::Answer::Accepted;
                break;
            }
            default: {
                const korvath::link::ExchangeResult result =
                    link.exchangeFrame(korvath::link::protocol::kExitFrame);
                ok = result.acked();
                if (ok) check(result.reply.size() <= korvath::link::protocol::kMaxReplyLength);
                break;
            }
        }
        if (ok) check(port.isOpen());
    }
    // A dead port is reported once, however many commands follow. (Over-long replies are
    // reported each time: every one of them is a new fault of the device.)
    check(sink.portFailures <= 1);
    return 0;
}
