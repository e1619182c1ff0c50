#include "serial/serial_port.h"

namespace korvath::serial {

std::string busyMessage(std::string_view device) {
    return "Port " + std::string(device) + " is busy: another program has it open";
}

std::string lostMessage(std::string_view device) {
    return "Port " + std::string(device) + " was lost: the adapter was unplugged or reset";
}

namespace detail {

std::string windowsLatencyAdvice(std::string_view port, int ms, std::string_view adapter) {
    std::string text = adapter.empty() ? std::string("The USB adapter")
                                       : "The USB adapter \"" + std::string(adapter) + "\"";
    const std::string period = std::to_string(ms) + " ms";
    text += " on " + std::string(port) + " hands received bytes over only every " + period;
    text += " (its latency timer): every reply waits up to " + period;
    text +=
        " for it, which can slow a download by half. Lower it to 1 ms: Device Manager > Ports "
        "(COM & LPT) > the adapter > Properties > Port Settings > Advanced > Latency Timer "
        "(msec) = 1, then unplug the adapter and plug it in again";
    return text;
}

}  // namespace detail

}  // namespace korvath::serial
