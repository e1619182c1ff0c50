#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "ports/device_path.h"

namespace korvath::ports {

ResolvedDevice resolveDevice(std::string_view name) {
    // The serial port adapter opens a name without a slash from /dev.
    const std::filesystem::path typed = name.find('/') == std::string_view::npos
                                            ? std::filesystem::path("/dev") / name
                                            : std::filesystem::path(name);
    std::error_code ec;
    const std::filesystem::path device = std::filesystem::canonical(typed, ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory) {
            return {{},
                    "Port " + typed.string() +
                        " does not exist: the port list (korvath-cli --list-ports, or the "
                        "port box's drop-down) shows the ports there are"};
        }
        return {{}, "Cannot find port " + typed.string() + ": " + ec.message()};
    }
    if (::access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return {{},
                "Permission denied on " + device.string() +
                    ": add your user to the dialout group (sudo usermod -aG dialout $USER), "
                    "then log out and in again"};
    }
    return {device.string(), {}};
}

}  // namespace korvath::ports
