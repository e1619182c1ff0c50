// The command line's own rules: the help's layout and the option meant by a mistyped one.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <string>

#include "command_line.h"
#include "help/help_formatter.h"

namespace korvath::cli {
namespace {

TEST(HelpLayout, WrapsAtSpacesKeepingLineBreaksIndentsAndColumns) {
    const struct {
        const char* text;
        int width;
        int hang;
        const char* wrapped;
    } cases[] = {
        {"one two three four", 9, 0, "one two\nthree\nfour\n"},
        {"  0    Done! at once\n\nnext", 14, 4, "  0    Done!\n      at once\n\nnext\n"},
        {"a verylongwordindeed b", 6, 0, "a\nverylongwordindeed\nb\n"},
        {"fits exactly", 12, 0, "fits exactly\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(help::wrapText(c.text, c.width, c.hang), c.wrapped);
}

// A mistyped option is answered with the one meant, when one is near enough.
TEST(NearestOption, IsTheOptionMeantOrNone) {
    CLI::App app;
    std::string text;
    bool flag = false;
    app.add_option("-p,--port", text);
    app.add_flag("--json", flag);
    app.add_flag("--station", flag);
    const struct {
        const char* typed;
        const char* nearest;
    } cases[] = {{"--prot", "--port"},
                 {"--jsno", "--json"},
                 {"--statoin=1", "--station"},
                 {"--zzzzzzzzz", ""},
                 {"-x", ""}};
    for (const auto& c : cases) EXPECT_EQ(nearestOption(c.typed, app), c.nearest) << c.typed;
}

}  // namespace
}  // namespace korvath::cli
