// The image layer on its own: how long reading and pre-scanning an image and converting its
// records take, and how much memory they need. The frames go to a port that acknowledges each one
// at once on a clock that moves only when waited on, so only our own work is timed.
//
//   korvath_bench_image --image FILE [--image FILE ...] [benchmark flags]
//   korvath_bench_image --peak prescan|convert FILE     prints the resident size before the job
//                                                       and its peak during it, in KiB
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_file.h"
#include "image/prescan.h"
#include "image/record.h"
#include "link/link.h"

namespace {

namespace image = korvath::image;
namespace link = korvath::link;

/// Time that moves only when somebody waits, so the reply's quiet gap costs nothing.
class InstantClock final : public link::Clock {
  public:
    [[nodiscard]] double nowMs() override { return now_; }
    void sleepMs(double ms) override {
        if (ms > 0) now_ += ms;
    }

  private:
    double now_ = 0;
};

/// A device that acknowledges every frame the moment it is written.
class AckingPort final : public link::Port {
  public:
    explicit AckingPort(InstantClock& clock) : clock_(clock) {}

    [[nodiscard]] bool isOpen() const override { return true; }
    korvath::platform::Result<void> discardInput() override {
        waiting_ = 0;
        return {};
    }
    korvath::platform::Result<void> write(std::span<const std::uint8_t>) override {
        waiting_ = 1;
        return {};
    }
    [[nodiscard]] korvath::platform::Result<int> bytesWaiting() override { return waiting_; }
    korvath::platform::Result<int> waitForBytes(int, double timeoutMs) override {
        clock_.sleepMs(timeoutMs);
        return waiting_;
    }
    korvath::platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        out.assign(static_cast<std::size_t>(waiting_), link::protocol::kAck);
        waiting_ = 0;
        return {};
    }
    void close() override {}

  private:
    InstantClock& clock_;
    int waiting_ = 0;
};

/// One read of `path`; throws when it cannot be read.
std::shared_ptr<const image::ImageFile> readImage(const std::filesystem::path& path) {
    image::ImageRead read = image::readImage(path);
    if (!read.image) throw std::runtime_error(read.fault.text);
    return read.image;
}

/// The pre-scan of `image` for model 1, as a download starts; returns the last record's line
/// and throws when the image is refused.
std::int32_t prescan(const image::ImageFile& image) {
    const image::PrescanResult result = image::prescanImage(image, link::Model::M1);
    if (!result.accepted) {
        throw std::runtime_error("pre-scan refused " + image.path().string() + ": " +
                                 (result.refusals.empty() ? "" : result.refusals.back().status));
    }
    return result.lastRecordLine;
}

/// One read and pre-scan of `path`.
std::int32_t prescan(const std::filesystem::path& path) {
    return prescan(*readImage(path));
}

/// The programming loop's work on every data line of the image as read: take the line, build
/// its frame and send it. Returns the number of records sent.
std::int64_t convert(const image::ImageFile& image, std::int32_t lastRecordLine) {
    InstantClock clock;
    AckingPort port(clock);
    link::Link link(port, clock);
    std::int64_t sent = 0;
    for (std::int32_t number = 2; number <= lastRecordLine; ++number) {
        const std::string line(image.line(number));
        if (link.program(image::dataRecord(line)) != link::Answer::Accepted)
            throw std::runtime_error("record not acknowledged");
        ++sent;
    }
    return sent;
}

/// One read, pre-scan and conversion of `path`.
std::int64_t convert(const std::filesystem::path& path) {
    const auto image = readImage(path);
    return convert(*image, prescan(*image));
}

std::int64_t countLines(const std::filesystem::path& path) {
    return readImage(path)->lineCount();
}

void BM_Prescan(benchmark::State& state, const std::filesystem::path& path) {
    const auto lines = countLines(path);
    for (auto _ : state) prescan(path);
    state.counters["lines"] = static_cast<double>(lines);
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(lines),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Convert(benchmark::State& state, const std::filesystem::path& path) {
    const auto image = readImage(path);
    const std::int32_t last = prescan(*image);
    std::int64_t records = 0;
    for (auto _ : state) records = convert(*image, last);
    state.counters["records"] = static_cast<double>(records);
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(records),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

/// A field of /proc/self/status in KiB ("VmHWM", "VmRSS"); -1 when it cannot be read.
long statusKiB(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

/// Sets the peak resident size back to the current one, so that the next peak is ours alone.
/// getrusage's ru_maxrss cannot be used: it keeps the parent's peak across fork and exec.
bool resetPeak() {
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5";
    clearRefs.flush();
    return static_cast<bool>(clearRefs);
}

int runPeak(std::string_view what, const std::filesystem::path& path) {
    if (what != "prescan" && what != "convert") {
        std::fprintf(stderr, "korvath_bench_image: --peak takes prescan or convert\n");
        return 2;
    }
    const bool reset = resetPeak();
    const long before = reset ? statusKiB("VmRSS") : statusKiB("VmHWM");
    if (what == "prescan") {
        prescan(path);
    } else {
        convert(path);
    }
    std::printf("peak_kib_before %ld\npeak_kib_after %ld\n", before, statusKiB("VmHWM"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) return runPeak(argv[2], argv[3]);

        // Our own --image options are taken out before the benchmark library sees the rest.
        std::vector<char*> rest{argv[0]};
        std::vector<std::filesystem::path> images;
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc) {
                images.emplace_back(argv[++i]);
            } else {
                rest.push_back(argv[i]);
            }
        }
        if (images.empty()) {
            std::fprintf(stderr, "korvath_bench_image: give at least one --image FILE\n");
            return 2;
        }
        for (const auto& path : images) {
            const std::string lines = std::to_string(countLines(path));
            benchmark::RegisterBenchmark(("Prescan/lines:" + lines).c_str(), BM_Prescan, path)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Convert/lines:" + lines).c_str(), BM_Convert, path)
                ->Unit(benchmark::kMillisecond);
        }

        int restCount = static_cast<int>(rest.size());
        benchmark::Initialize(&restCount, rest.data());
        if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvath_bench_image: %s\n", e.what());
        return 1;
    }
    return 0;
}
