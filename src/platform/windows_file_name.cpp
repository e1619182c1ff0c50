#include "platform/windows_file_name.h"

#include <algorithm>
#include <array>

namespace korvath::platform::windows {

namespace {

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool isLetter(char c) {
    return (upper(c) >= 'A' && upper(c) <= 'Z');
}

// The digits of COMn and LPTn: 1 to 9, and the superscripts one, two and three.
bool isDeviceDigit(std::string_view digit) {
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

std::optional<std::string> reservedDeviceName(std::string_view path) {
    for (std::string_view prefix : {R"(\\.\)", "//./", R"(\\?\GLOBALROOT)"}) {
        if (path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix)
            return std::string(path);
    }
    std::string_view name = path.substr(std::min(path.find_last_of("\\/") + 1, path.size()));
    // "C:NUL" is NUL too: a drive without a folder.
    if (name.size() >= 2 && isLetter(name[0]) && name[1] == ':') name.remove_prefix(2);
    // The device name ends at the first dot or colon, and Windows drops the blanks before it.
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);

    std::string base;
    std::transform(name.begin(), name.end(), std::back_inserter(base), upper);
    static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN",    "AUX",
                                                               "NUL", "CONIN$", "CONOUT$"};
    if (std::find(kNames.begin(), kNames.end(), base) != kNames.end()) return base;
    if (base.size() >= 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
        isDeviceDigit(std::string_view(base).substr(3))) {
        return base;
    }
    return std::nullopt;
}

}  // namespace korvath::platform::windows
