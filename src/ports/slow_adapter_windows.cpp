#include <string>

#include "ports/port_opener.h"

namespace korvath::ports {

// The FTDI driver shows its timer in the Device Manager; a new value takes effect once the
// adapter is plugged in again.
std::string slowAdapterAdvice(const link::SlowAdapter& slow) {
    std::string text = slow.adapter.empty() ? std::string("The USB adapter")
                                            : "The USB adapter \"" + slow.adapter + "\"";
    const std::string period = std::to_string(slow.latencyMs) + " ms";
    text += " on " + slow.port + " hands received bytes over only every " + period;
    text += " (its latency timer): every reply waits up to " + period;
    text +=
        " for it, which can slow a download by half. Lower it to 1 ms: Device Manager > Ports "
        "(COM & LPT) > the adapter > Properties > Port Settings > Advanced > Latency Timer "
        "(msec) = 1, then unplug the adapter and plug it in again";
    return text;
}

}  // namespace korvath::ports
