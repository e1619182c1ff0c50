// Request frames built independently of the link's frame builder, so the simulator's parser
// is checked against the byte layout itself.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace korvath::sim::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes frame(std::uint8_t letter, const Bytes& operands) {
    Bytes bytes = {0x1B, letter, static_cast<std::uint8_t>(operands.size())};
    bytes.insert(bytes.end(), operands.begin(), operands.end());
    bytes.push_back(0x04);
    unsigned sum = 0;
    for (auto b : bytes) sum += b;
    bytes.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((sum >> 8) | 0x80));
    return bytes;
}

inline Bytes probe() {
    return {0x90};
}

inline Bytes password(std::string_view text) {
    return frame('s', Bytes(text.begin(), text.end()));
}

inline Bytes blankCheck(int sector) {
    return frame('w', {static_cast<std::uint8_t>(sector)});
}

inline Bytes erase(int sector) {
    return frame('u', {static_cast<std::uint8_t>(sector)});
}

inline Bytes exitFrame() {
    return {0x1B, 0x7E, 0x00, 0x04, 0x9D, 0x80};
}

/// `data` are the 64 bytes as they should land in flash; the frame carries them pair-swapped.
inline Bytes program(std::uint32_t address, const Bytes& data) {
    Bytes operands = {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                      static_cast<std::uint8_t>(address >> 16)};
    for (std::size_t k = 0; k < 32; ++k) {
        operands.push_back(data.at(2 * k + 1));
        operands.push_back(data.at(2 * k));
    }
    return frame('t', operands);
}

/// 64 distinct bytes starting at `first`.
inline Bytes record(std::uint8_t first = 0) {
    Bytes data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(first + i);
    return data;
}

}  // namespace korvath::sim::test
