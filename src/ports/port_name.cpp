#include "ports/port_name.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

namespace korvath::ports {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";
constexpr std::string_view kSimPrefix = "sim";

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

/// Length of the unsigned number ("12", "2.5", ".5", "7.") at the start of `text`; 0 if none.
std::size_t numberLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isDigit(text[i])) ++i;
    const std::size_t integerDigits = i;
    if (i < text.size() && text[i] == '.') {
        std::size_t j = i + 1;
        while (j < text.size() && isDigit(text[j])) ++j;
        if (integerDigits > 0 || j > i + 1) i = j;
    }
    return i;
}

/// Nearest integer, halves to the even neighbour, without depending on the FPU rounding mode.
double roundHalfEven(double value) {
    const double floor = std::floor(value);
    const double fraction = value - floor;
    if (fraction > 0.5) return floor + 1;
    if (fraction < 0.5) return floor;
    return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

PortSpec numberSpec(int number) {
    PortSpec parsed;
    parsed.kind = PortSpec::Kind::Number;
    parsed.number = number;
    return parsed;
}

std::optional<PortSpec> readNumber(std::string_view text) {
    std::size_t start = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        start = 1;
    }
    const std::string_view digits = text.substr(start);
    const std::size_t length = numberLength(digits);
    if (length == 0) return std::nullopt;

    double magnitude = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + length, magnitude, std::chars_format::fixed);
    if (ec == std::errc::result_out_of_range) {
        magnitude = kMaxPortNumber + 1.0;
    } else if (ec != std::errc{}) {
        return std::nullopt;
    }
    (void)end;

    const double rounded = roundHalfEven(negative ? -magnitude : magnitude);
    const double clamped = std::clamp(rounded, double(kMinPortNumber), double(kMaxPortNumber));
    return numberSpec(static_cast<int>(clamped));
}

PortSpec simSpec(std::string_view text) {
    PortSpec parsed;
    if (text.size() == kSimPrefix.size()) {
        parsed.kind = PortSpec::Kind::Simulated;
        parsed.number = 1;
        return parsed;
    }
    const std::string_view model = trim(text.substr(kSimPrefix.size() + 1));
    if (model.size() == 1 && model[0] >= '1' && model[0] <= '3') {
        parsed.kind = PortSpec::Kind::Simulated;
        parsed.number = model[0] - '0';
        return parsed;
    }
    parsed.kind = PortSpec::Kind::Invalid;
    parsed.error = "Unknown simulated controller \"" + std::string(text) +
                   "\": use sim, sim:1, sim:2 or sim:3";
    return parsed;
}

}  // namespace

PortSpec parsePortText(std::string_view text) {
    const std::string_view trimmed = trim(text);
    if (trimmed.empty()) return numberSpec(0);

    if (equalsIgnoringCase(trimmed, kSimPrefix) ||
        (trimmed.size() > kSimPrefix.size() && trimmed[kSimPrefix.size()] == ':' &&
         equalsIgnoringCase(trimmed.substr(0, kSimPrefix.size()), kSimPrefix))) {
        return simSpec(trimmed);
    }

    if (auto number = readNumber(trimmed)) return *number;

    PortSpec parsed;
    parsed.kind = PortSpec::Kind::Name;
    parsed.name = std::string(trimmed);
    return parsed;
}

}  // namespace korvath::ports
