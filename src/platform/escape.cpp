#include "platform/escape.h"

#include <cstdint>

namespace korvath::platform {

namespace {

/// The length of the well-formed UTF-8 sequence at the start of `text` (no overlong forms, no
/// surrogates, nothing beyond U+10FFFF), and its code point; 0 when there is none.
struct Sequence {
    std::size_t length = 0;
    char32_t code = 0;
};

Sequence sequenceAt(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) return {1, lead};
    std::size_t length = 0;
    char32_t code = 0;
    char32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, lowest = 0x10000;
    } else {
        return {};
    }
    if (text.size() < length) return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) return {};
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
    return {length, code};
}

void appendHex(std::string& out, std::uint8_t value) {
    constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[value >> 4];
    out += kDigits[value & 0x0F];
}

bool shownEscaped(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Sequence sequence = sequenceAt(text);
        if (sequence.length == 0) {
            appendHex(out, static_cast<std::uint8_t>(text.front()));
            text.remove_prefix(1);
            continue;
        }
        if (sequence.code == '\n') {
            out += "\\n";
        } else if (sequence.code == '\r') {
            out += "\\r";
        } else if (sequence.code == '\t') {
            out += "\\t";
        } else if (shownEscaped(sequence.code)) {
            for (std::size_t i = 0; i < sequence.length; ++i) {
                appendHex(out, static_cast<std::uint8_t>(text[i]));
            }
        } else {
            out.append(text.substr(0, sequence.length));
        }
        text.remove_prefix(sequence.length);
    }
    return out;
}

std::string visibleUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = sequenceAt(bytes).length;
        if (length == 0) {
            appendHex(out, static_cast<std::uint8_t>(bytes.front()));
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return out;
}

}  // namespace korvath::platform
