#include <filesystem>
#include <string>

#include "ports/port_opener.h"

namespace korvath::ports {

// The timer is lowered through sysfs for now and by a udev rule for good; both name the
// usb-serial device, which has the tty's own name.
std::string slowAdapterAdvice(const link::SlowAdapter& slow) {
    const std::string name = std::filesystem::path(slow.port).filename().string();
    const std::string adapter = slow.adapter.empty() ? std::string("The USB adapter")
                                                     : "The USB adapter \"" + slow.adapter + "\"";
    const std::string period = std::to_string(slow.latencyMs) + " ms";
    return adapter + " on " + slow.port + " hands received bytes over only every " + period +
           " (its latency timer): every reply waits up to " + period +
           " for it, which can slow a download by half. Lower it to 1 ms: echo 1 | sudo tee "
           "/sys/bus/usb-serial/devices/" +
           name +
           "/latency_timer, or for good with a udev rule such as ACTION==\"add\", "
           "SUBSYSTEM==\"usb-serial\", ATTR{latency_timer}=\"1\"";
}

}  // namespace korvath::ports
