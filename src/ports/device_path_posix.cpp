#include <cerrno>
#include <filesystem>
#include <system_error>

#include "ports/device_path.h"

namespace korvath::ports {

platform::Result<std::string> resolveDevice(std::string_view name) {
    // A name without a slash is a device in /dev.
    const std::filesystem::path typed = name.find('/') == std::string_view::npos
                                            ? std::filesystem::path("/dev") / name
                                            : std::filesystem::path(name);
    std::error_code ec;
    const std::filesystem::path device = std::filesystem::canonical(typed, ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory) {
            return platform::Fault{platform::ErrorNumber::FileNotFound,
                                   "Port " + typed.string() + " does not exist"};
        }
        return platform::Fault{platform::errorNumberOf(ec.value()),
                               "Cannot find port " + typed.string() + ": " + ec.message()};
    }
    return device.string();
}

}  // namespace korvath::ports
