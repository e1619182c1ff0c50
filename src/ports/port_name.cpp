#include "ports/port_name.h"

#include <algorithm>

namespace korvath::ports {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";
constexpr std::string_view kSimPrefix = "sim";
constexpr std::string_view kUsbPrefix = "usb:";
constexpr std::string_view kWhatAPortIs =
    "give a whole port number (1, 2, ...), a port name, a device path or sim[:N]";

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

platform::Fault invalid(std::string error) {
    return {platform::ErrorNumber::InvalidArgument, std::move(error)};
}

/// True for a text a user meant as a number: a digit first, or a sign or point before one.
/// No port name looks like that, so such a text is a number or a mistake.
bool looksNumeric(std::string_view text) {
    if (isDigit(text.front())) return true;
    const bool lead = text.front() == '+' || text.front() == '-' || text.front() == '.';
    return lead && text.size() > 1 && (isDigit(text[1]) || text[1] == '.');
}

/// `before` "`text`" `after`, appended piece by piece (GCC 12 warns wrongly about a chain of +).
std::string quoting(std::string_view before, std::string_view text, std::string_view after) {
    std::string message(before);
    message.append(1, '"').append(text).append(1, '"').append(after);
    return message;
}

platform::Result<ParsedPort> readNumber(std::string_view text) {
    if (!std::all_of(text.begin(), text.end(), isDigit))
        return invalid(quoting("", text, std::string(" is not a port: ").append(kWhatAPortIs)));
    const std::string_view digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
    if (digits.empty()) return invalid(quoting("Port numbers start at 1, not ", text, ""));
    // Compared as text, so that no number is too long to read.
    const std::string maximum = std::to_string(kMaxPortNumber);
    if (digits.size() > maximum.size() || (digits.size() == maximum.size() && digits > maximum))
        return invalid(quoting("Port number ", text, " is too large (at most " + maximum + ")"));
    ParsedPort parsed;
    parsed.kind = ParsedPort::Kind::Number;
    parsed.number = std::stoi(std::string(digits));
    return parsed;
}

platform::Result<ParsedPort> simSpec(std::string_view text) {
    ParsedPort parsed;
    if (text.size() == kSimPrefix.size()) {
        parsed.kind = ParsedPort::Kind::Simulated;
        parsed.number = 1;
        return parsed;
    }
    const std::string_view model = trim(text.substr(kSimPrefix.size() + 1));
    if (model.size() == 1 && model[0] >= '1' && model[0] <= '3') {
        parsed.kind = ParsedPort::Kind::Simulated;
        parsed.number = model[0] - '0';
        return parsed;
    }
    return invalid(
        quoting("Unknown simulated controller ", text, ": use sim, sim:1, sim:2 or sim:3"));
}

}  // namespace

platform::Result<ParsedPort> parsePortText(std::string_view text) {
    const std::string_view trimmed = trim(text);
    if (trimmed.empty()) return invalid(std::string("No port given: ").append(kWhatAPortIs));

    if (equalsIgnoringCase(trimmed, kSimPrefix) ||
        (trimmed.size() > kSimPrefix.size() && trimmed[kSimPrefix.size()] == ':' &&
         equalsIgnoringCase(trimmed.substr(0, kSimPrefix.size()), kSimPrefix))) {
        return simSpec(trimmed);
    }

    if (trimmed.size() >= kUsbPrefix.size() &&
        equalsIgnoringCase(trimmed.substr(0, kUsbPrefix.size()), kUsbPrefix)) {
        const std::string_view serial = trim(trimmed.substr(kUsbPrefix.size()));
        if (serial.empty()) {
            return invalid(quoting("No serial number in ", trimmed, ": use usb:SERIAL"));
        }
        ParsedPort parsed;
        parsed.kind = ParsedPort::Kind::UsbSerial;
        parsed.name = std::string(serial);
        return parsed;
    }

    if (looksNumeric(trimmed)) return readNumber(trimmed);

    ParsedPort parsed;
    parsed.kind = ParsedPort::Kind::Name;
    parsed.name = std::string(trimmed);
    return parsed;
}

}  // namespace korvath::ports
