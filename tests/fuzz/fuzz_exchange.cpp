// Drives the bootloader commands against a device whose replies and timings come from the
// fuzzer's bytes, on the virtual clock. A command may only succeed on a real, timely ACK.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "link/link.h"
#include "support/fake_port.h"

namespace {

using korvath::link::Link;
using korvath::test::Chunk;

class CountingSink : public korvath::link::ErrorSink {
public:
    void reportError(int number, const std::string&) override {
        if (number == static_cast<int>(korvath::link::ErrorNumber::DeviceIo)) ++portFailures;
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
    if (input.ConsumeBool()) port.unplugAt(clock.now() + input.ConsumeIntegralInRange<int>(0, 60000));

    for (int step = 0; step < 12 && input.remaining_bytes() > 0; ++step) {
        bool ok = false;
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: ok = link.ProbeDevice(); break;
            case 1:
                ok = link.SendPassword();
                check(ok == (link.DeviceModel != 0));
                check(link.ReplyTimeoutMs == 5000);
                break;
            case 2: ok = link.BlankCheckSector(input.ConsumeIntegralInRange<int>(0, 255)); break;
            case 3:
                link.DeviceModel = static_cast<std::int16_t>(input.ConsumeIntegralInRange<int>(0, 3));
                ok = link.EraseSector(input.ConsumeIntegralInRange<int>(0, 8));
                break;
            default: ok = link.ExitProgramming(); break;
        }
        if (ok) {
            check(link.LastExchangeResult == 0);
            check(link.ReplyBuffer[0] == 0x06);
            check(port.isOpen());
        }
    }
    // A dead port is reported once, however many commands follow. (Over-long replies are
    // reported each time: every one of them is a new fault of the device.)
    check(sink.portFailures <= 1);
    return 0;
}
