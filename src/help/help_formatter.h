// The help text of the programs' command lines: option names in a left column, descriptions
// wrapped in the column beside them, and nothing of the parser's own vocabulary (type names,
// "Excludes:"). The programs choose the words; this only lays them out.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <string_view>

namespace korvath::help {

/// The width help is wrapped to: the terminal's on standard output, else 80 columns.
[[nodiscard]] int helpWidth();

/// `text` wrapped to `width` columns at spaces: its own line breaks stay, a line's leading
/// spaces are kept, and its continuation lines are indented by `hang` more than that line.
/// A word longer than the room stands on a line of its own.
[[nodiscard]] std::string wrapText(std::string_view text, int width, int hang = 0);

class HelpFormatter final : public CLI::Formatter {
  public:
    explicit HelpFormatter(int width);

    std::string make_option(const CLI::Option* option, bool isPositional) const override;
    /// " FILE", " N" or the like for an option that takes a value (its option_text when set);
    /// nothing else.
    std::string make_option_opts(const CLI::Option* option) const override;
    /// The description, with the default value when the option shows one.
    std::string make_option_desc(const CLI::Option* option) const override;
    std::string make_description(const CLI::App* app) const override;
    std::string make_footer(const CLI::App* app) const override;

  private:
    int width_;
};

/// Gives `app` the help layout for the width of helpWidth().
void useHelpLayout(CLI::App& app);

}  // namespace korvath::help
