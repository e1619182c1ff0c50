#include "image/image_files.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

namespace korvath::test {

std::string dataLine(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    if (data.size() != 64) throw std::invalid_argument("a data record holds 64 bytes");
    std::vector<std::uint8_t> bytes = {0x44, static_cast<std::uint8_t>(address >> 16),
                                       static_cast<std::uint8_t>(address >> 8),
                                       static_cast<std::uint8_t>(address)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<std::uint8_t>(~sum));

    std::string line = "S2";
    char hex[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

std::string dataLine(std::uint32_t address, std::uint8_t seed) {
    std::vector<std::uint8_t> data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(seed + i);
    return dataLine(address, data);
}

std::vector<std::string> imageLines(std::uint32_t first) {
    std::vector<std::string> lines = {kHeaderLine};
    for (std::uint32_t address = first; address <= 0xE7FFC0; address += 64)
        lines.push_back(dataLine(address, static_cast<std::uint8_t>(address >> 6)));
    lines.push_back(kEndLine);
    return lines;
}

// A random name, taken only if no one has it: tests running side by side in separate processes
// never share a folder, without asking the system for a process number.
TempDir::TempDir() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = base / ("korvath-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(path_)) return;
    }
    throw std::runtime_error("cannot make a fresh folder in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::filesystem::path& name,
                                     const std::vector<std::string>& lines,
                                     std::string_view lineEnd) const {
    std::string content;
    for (const auto& line : lines) {
        content += line;
        content += lineEnd;
    }
    return writeRaw(name, content);
}

std::filesystem::path TempDir::writeRaw(const std::filesystem::path& name,
                                        std::string_view content) const {
    const auto file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file;
}

}  // namespace korvath::test
