#include "ui/header_rule.h"

#include <string>

#include "image/line_reader.h"

namespace korvath::ui {

bool hasImageHeader(const std::filesystem::path& path) {
    image::LineReader reader(path);
    std::string line;
    if (!reader.ok() || !reader.readLine(line)) return false;
    return line.starts_with("S0");
}

}  // namespace korvath::ui
