#include "ports/windows_port_name.h"

#include <algorithm>
#include <charconv>

namespace korvath::ports::windows {

namespace {

constexpr std::string_view kComPrefix = "COM";
constexpr std::string_view kDevicePrefix = R"(\\.\)";

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upperCase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), upper);
    return result;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && upperCase(text.substr(0, prefix.size())) == prefix;
}

}  // namespace

std::optional<std::string> comName(int number) {
    if (number < 1) return std::nullopt;
    return std::string(kComPrefix) + std::to_string(number);
}

platform::Result<std::string> portForNumber(int number) {
    if (number < 1 || number > kMaxComNumber) {
        return platform::Fault{platform::ErrorNumber::InvalidArgument,
                               "There is no COM port " + std::to_string(number) +
                                   ": COM port numbers run from 1 to " +
                                   std::to_string(kMaxComNumber)};
    }
    return std::string(kDevicePrefix) + *comName(number);
}

std::optional<int> comNumber(std::string_view name) {
    if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
    if (!startsWithIgnoringCase(name, kComPrefix)) return std::nullopt;
    const std::string_view digits = name.substr(kComPrefix.size());
    if (digits.empty() || digits.front() < '1' || digits.front() > '9') return std::nullopt;
    int number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return number;
}

std::string devicePath(std::string_view name) {
    if (const auto number = comNumber(name)) return std::string(kDevicePrefix) + *comName(*number);
    if (name.empty() || name.starts_with(kDevicePrefix) ||
        name.find_first_of(R"(\/:)") != std::string_view::npos) {
        return std::string(name);
    }
    return std::string(kDevicePrefix) + upperCase(name);
}

}  // namespace korvath::ports::windows
