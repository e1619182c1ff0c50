#include "help/help_formatter.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace korvath::help {

namespace {

constexpr int kWidthOffTerminal = 80;
constexpr int kMinWidth = 40;
// The option column: two spaces, the longest usual name with its value, a gap.
constexpr int kOptionColumn = 26;

void wrapLine(std::string_view line, int width, int hang, std::string& out) {
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string_view::npos) {
        out += '\n';
        return;
    }
    const std::string more(indent + static_cast<std::size_t>(hang), ' ');
    // Words keep the spaces before them while they share a line, so columns in a line stay.
    std::string current(line.substr(0, indent));
    bool empty = true;
    std::size_t pos = indent;
    while (pos < line.size()) {
        const std::size_t wordStart = line.find_first_not_of(' ', pos);
        if (wordStart == std::string_view::npos) break;
        const std::size_t wordEnd = std::min(line.find(' ', wordStart), line.size());
        const std::string_view gap = line.substr(pos, wordStart - pos);
        const std::string_view word = line.substr(wordStart, wordEnd - wordStart);
        if (!empty && current.size() + gap.size() + word.size() > static_cast<std::size_t>(width)) {
            out += current + '\n';
            current = more;
            empty = true;
        }
        if (!empty) current += gap;
        current += word;
        empty = false;
        pos = wordEnd;
    }
    out += current + '\n';
}

}  // namespace

int helpWidth() {
    if (!platform::isTerminal(platform::Stream::Output)) return kWidthOffTerminal;
    const auto size = platform::terminalSize(stdout);
    return std::max(size ? size->columns : kWidthOffTerminal, kMinWidth);
}

std::string wrapText(std::string_view text, int width, int hang) {
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (end == text.size() && start == text.size()) break;
        wrapLine(text.substr(start, end - start), width, hang, out);
        start = end + 1;
    }
    return out;
}

HelpFormatter::HelpFormatter(int width) : width_(std::max(width, kMinWidth)) {
    column_width(kOptionColumn);
}

std::string HelpFormatter::make_option(const CLI::Option* option, bool isPositional) const {
    const std::string left =
        "  " + make_option_name(option, isPositional) + make_option_opts(option);
    const std::string desc = make_option_desc(option);
    // The description's lines start in the option column; a long name stands on its own line.
    const std::size_t column = kOptionColumn;
    const std::string wrapped = wrapText(desc, width_ - static_cast<int>(column));
    std::string out;
    std::size_t start = 0;
    bool first = true;
    const std::string pad(column, ' ');
    if (left.size() + 1 > column) {
        out += left + '\n';
        first = false;
    }
    while (start < wrapped.size()) {
        const std::size_t end = wrapped.find('\n', start);
        const std::string line = wrapped.substr(start, end - start);
        if (first) {
            out += left + std::string(column - left.size(), ' ') + line + '\n';
            first = false;
        } else {
            out += pad + line + '\n';
        }
        start = end + 1;
    }
    if (first) out += left + '\n';
    return out;
}

std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
    if (option->get_positional()) return {};
    if (!option->get_option_text().empty()) return " " + option->get_option_text();
    const std::string type = option->get_type_name();
    if (type.empty() || option->get_type_size() == 0) return {};  // a flag
    const bool number = type.rfind("INT", 0) == 0 || type.rfind("UINT", 0) == 0 ||
                        type.rfind("FLOAT", 0) == 0 || type.rfind("NUMBER", 0) == 0;
    return number ? " N" : " VALUE";
}

std::string HelpFormatter::make_option_desc(const CLI::Option* option) const {
    std::string desc = option->get_description();
    if (!option->get_default_str().empty() && option->get_type_size() != 0)
        desc += " (default " + option->get_default_str() + ")";
    return desc;
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
    const std::string description = app->get_description();
    return description.empty() ? std::string() : wrapText(description, width_) + "\n";
}

std::string HelpFormatter::make_footer(const CLI::App* app) const {
    const std::string footer = app->get_footer();
    return footer.empty() ? std::string() : wrapText(footer, width_, 4);
}

void useHelpLayout(CLI::App& app) {
    app.formatter(std::make_shared<HelpFormatter>(helpWidth()));
}

}  // namespace korvath::help
