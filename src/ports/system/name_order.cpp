#include <cctype>
#include <cstddef>

#include "ports/system/port_list.h"

namespace korvath::ports::detail {

bool nameBefore(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && digit(a[endA])) ++endA;
            while (endB < b.size() && digit(b[endB])) ++endB;
            // Leading zeros aside, the longer run of digits is the larger number.
            while (i + 1 < endA && a[i] == '0') ++i;
            while (j + 1 < endB && b[j] == '0') ++j;
            if (endA - i != endB - j) return endA - i < endB - j;
            for (; i < endA; ++i, ++j) {
                if (a[i] != b[j]) return a[i] < b[j];
            }
            continue;
        }
        const int ca = std::toupper(static_cast<unsigned char>(a[i]));
        const int cb = std::toupper(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb;
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

}  // namespace korvath::ports::detail

namespace korvath::ports::detail {

platform::Fault withListedPorts(platform::Fault missing, const std::vector<ListedPort>& listed) {
    if (listed.empty()) {
        missing.text += ": the system lists no serial ports";
        return missing;
    }
    missing.text += ": the system lists ";
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (i > 0) missing.text += ", ";
        missing.text += listed[i].name;
    }
    return missing;
}

}  // namespace korvath::ports::detail
