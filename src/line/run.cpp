#include "line/run.h"

#include <thread>
#include <utility>

#include "line/unit_worker.h"
#include "platform/platform.h"
#include "platform/stop_signals.h"

namespace korvath::line {

int runLine(const std::vector<std::string>& ports, const std::filesystem::path& image,
            image::ImageRead read, const LineOptions& options, LineSurroundings& around,
            LineOutput& output) {
    Planned planned = planLine(ports, image, std::move(read), options, around.ports);
    if (!planned.plan) {
        if (planned.plainStatus) output.statusLine(*planned.plainStatus);
        output.refused(planned.refusal);
        return planned.refusal.exit;
    }
    const LinePlan& plan = *planned.plan;
    LineRunState run(plan, around, output);
    // Each answer is read byte by byte from the descriptor that the prompt's wait watches:
    // nothing is left waiting in a buffer the wait does not see.
    if (options.askSerial) std::setvbuf(around.in, nullptr, _IONBF, 0);

    // A stop (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT or a closed output) reaches every port: running
    // downloads end at their next exchange boundary with the exit frame, waiting stations at once.
    // One thread per port: a download is a plain blocking sequence of exchanges, so each port
    // keeps its own timing and a stalled port holds up nobody.
    std::vector<std::thread> threads;
    threads.reserve(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&run, i] { UnitWorker(run, i).work(); });
    }
    for (std::thread& thread : threads) thread.join();
    output.summary(run.tally);

    RunResult result = run.tally.result(plan.tags);
    const int signal = around.signalNumber();
    // A plain run's code is its download's: a signal after "Done!" changes nothing.
    if (signal != 0 && !plan.plain) {
        result.exit = platform::cancelledExitCode(signal);
        result.result = "Cancelled";
    }
    // A closed output (SIGPIPE) keeps its signal's code; any other write error is a failure.
    if (run.checked.check() && signal == 0) {
        result.exit = kExitFailed;
        result.result = "Output not written";
    }
    output.runEnded(result);
    if (run.checked.failed() && (signal == 0 || !plan.plain)) run.checked.report();
    return result.exit;
}

}  // namespace korvath::line
