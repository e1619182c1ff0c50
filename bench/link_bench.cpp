// The real serial port over a pseudo-terminal: what a silent reply wait costs in CPU, and how
// long a program frame and its ACK take to cross.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/link.h"
#include "serial/pty_device.h"
#include "serial/serial_port.h"

namespace {

using korvath::link::Link;
using korvath::link::SteadyClock;
using korvath::test::PtyDevice;
namespace protocol = korvath::link::protocol;

constexpr std::size_t kFrame = protocol::kProgramFrameLength;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

/// A device on a pseudo-terminal and the serial port opened on it.
struct Bench {
    explicit Bench(benchmark::State& state) {
        if (!opened) state.SkipWithError(opened.fault().text.c_str());
    }
    PtyDevice device;
    SteadyClock clock;
    korvath::platform::Result<korvath::link::OpenedPort> opened =
        korvath::serial::openSerialPort(device.path(), clock);
    std::unique_ptr<korvath::link::Port> owned =
        opened ? std::move(opened->port) : std::make_unique<korvath::link::ClosedPort>();
    korvath::link::Port& port = *owned;
};

/// Answers every complete program frame with an ACK.
PtyDevice::Bytes ackFrames(const PtyDevice::Bytes& received) {
    return received.size() % kFrame == 0 ? PtyDevice::Bytes{protocol::kAck} : PtyDevice::Bytes{};
}

std::vector<std::uint8_t> someFrame() {
    std::vector<std::uint8_t> frame(kFrame);
    for (std::size_t i = 0; i < kFrame; ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
    return frame;
}

// The adapter's own wait for a reply that never comes.
void BM_SilentWaitOnPort(benchmark::State& state) {
    Bench bench(state);
    bench.device.start({});
    double cpu = 0;
    for (auto _ : state) {
        const double start = threadCpuMs();
        benchmark::DoNotOptimize(bench.port.waitForBytes(0, 1000));
        cpu += threadCpuMs() - start;
    }
    state.counters["cpu_ms_per_wait"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SilentWaitOnPort)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// A whole exchange with a silent device: send a probe, wait out the 1000 ms time-out.
void BM_SilentExchange(benchmark::State& state) {
    Bench bench(state);
    bench.device.start({});
    Link link(bench.port, bench.clock);
    double cpu = 0;
    const std::vector<std::uint8_t> probe = {protocol::kProbe};
    for (auto _ : state) {
        const double start = threadCpuMs();
        if (link.exchangeFrame(probe).status != korvath::link::ExchangeResult::Status::TimedOut)
            state.SkipWithError("the silent device answered");
        cpu += threadCpuMs() - start;
    }
    state.counters["cpu_ms_per_wait"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SilentExchange)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// A 73-byte frame out and the ACK back, at the port: the adapter's latency alone.
void BM_FrameRoundTripOnPort(benchmark::State& state) {
    Bench bench(state);
    bench.device.start(ackFrames);
    std::vector<std::uint8_t> frame(kFrame, 0x55);
    std::vector<std::uint8_t> reply;
    std::vector<double> times;
    for (auto _ : state) {
        const double start = nowMs();
        if (!bench.port.discardInput() || !bench.port.write(frame))
            state.SkipWithError("the port failed");
        const korvath::platform::Result<int> waited = bench.port.waitForBytes(0, 1000);
        if (!waited || *waited != 1 || !bench.port.readAll(reply)) state.SkipWithError("no ACK");
        const double took = nowMs() - start;
        times.push_back(took);
        state.SetIterationTime(took / 1e3);
    }
    state.counters["median_ms"] = median(times);
}
BENCHMARK(BM_FrameRoundTripOnPort)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same through Link::exchangeFrame, which adds the quiet gap that marks a reply complete.
void BM_FrameExchange(benchmark::State& state) {
    Bench bench(state);
    bench.device.start(ackFrames);
    Link link(bench.port, bench.clock);
    std::vector<double> times;
    const std::vector<std::uint8_t> frame = someFrame();
    for (auto _ : state) {
        const double start = nowMs();
        const korvath::link::ExchangeResult result = link.exchangeFrame(frame);
        if (!result.acked() || result.reply.size() != 1) state.SkipWithError("no ACK");
        const double took = nowMs() - start;
        times.push_back(took);
        state.SetIterationTime(took / 1e3);
    }
    state.counters["median_ms"] = median(times);
}
BENCHMARK(BM_FrameExchange)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
