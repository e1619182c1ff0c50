#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/image_files.h"

namespace korvath::image {
namespace {

std::vector<std::string> linesOf(const ImageFile& image) {
    std::vector<std::string> lines;
    for (std::int32_t n = 1; n <= image.lineCount(); ++n) lines.emplace_back(image.line(n));
    return lines;
}

struct LineCase {
    const char* name;
    std::string content;
    std::vector<std::string> lines;
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class LineEnds : public ::testing::TestWithParam<LineCase> {};

// A CR LF after a long line is still one line end, and the line keeps every character.
const std::string kLongLine = std::string(64 * 1024 - 1, 'x');

TEST_P(LineEnds, SplitAsTheImageRulesSay) {
    test::TempDir dir;
    const ImageRead read = readImage(dir.writeRaw("f.shx", GetParam().content));
    ASSERT_TRUE(read.image) << read.fault.text;
    EXPECT_EQ(linesOf(*read.image), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    All, LineEnds,
    ::testing::Values(LineCase{"Empty", "", {}}, LineCase{"OnlyCrLf", "\r\n", {""}},
                      LineCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
                      LineCase{"CrAlone", "a\rb\r", {"a", "b"}},
                      LineCase{"LfAlone", "a\nb\n", {"a", "b"}},
                      LineCase{"NoFinalEnd", "a\r\nb", {"a", "b"}},
                      LineCase{"EmptyLineBetween", "a\r\n\r\nb", {"a", "", "b"}},
                      LineCase{"LfCrIsTwoEnds", "a\n\rb", {"a", "", "b"}},
                      LineCase{"CrCrLfIsTwoEnds", "a\r\r\nb", {"a", "", "b"}},
                      LineCase{"CrLfAfterALongLine", kLongLine + "\r\nb", {kLongLine, "b"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The refusals (a missing file, a folder, a file beyond the limit) are tested beside the pre-scan.
TEST(readImage, KeepsAHugeLineWhole) {
    test::TempDir dir;
    const std::string huge(kMaxImageBytes - 10, '7');
    const ImageRead read = readImage(dir.writeRaw("huge.shx", "S0\r\n" + huge + "\r\nS8\r\n"));
    ASSERT_TRUE(read.image);
    EXPECT_EQ(linesOf(*read.image), (std::vector<std::string>{"S0", huge, "S8"}));
}

// Image paths as technicians have them: folders and names with spaces and letters beyond ASCII.
TEST(readImage, ReadsImagesWhosePathsHaveSpacesAndLettersBeyondAscii) {
    test::TempDir dir;
    const std::filesystem::path names[] = {
        u8"Pr\u00fcfstand Halle 3/Steuerger\u00e4t \u00e4\u00f6\u00fc \u00df.shx",
        u8"\u043e\u0431\u0440\u0430\u0437\u044b/\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430 "
        u8"1.shx",
        u8"\u6620\u50cf \u30d5\u30a1\u30a4\u30eb.shx"};
    for (const auto& name : names) {
        const ImageRead read = readImage(dir.write(name, {"S0", "S8"}));
        ASSERT_TRUE(read.image) << read.fault.text;
        EXPECT_EQ(linesOf(*read.image), (std::vector<std::string>{"S0", "S8"}));
    }
}

}  // namespace
}  // namespace korvath::image
