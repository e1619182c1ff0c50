#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/image_files.h"
#include "image/line_reader.h"

namespace korvath::image {
namespace {

std::vector<std::string> readAll(LineReader& reader) {
    std::vector<std::string> lines;
    std::string line;
    while (!reader.atEnd()) {
        EXPECT_TRUE(reader.readLine(line));
        lines.push_back(line);
    }
    EXPECT_FALSE(reader.readLine(line));
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

// A CR that ends one read chunk while its LF starts the next must still be one line end.
const std::string kChunkEdge = std::string(64 * 1024 - 1, 'x');

TEST_P(LineEnds, SplitAsTheImageRulesSay) {
    test::TempDir dir;
    LineReader reader(dir.writeRaw("f.shx", GetParam().content));
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(readAll(reader), GetParam().lines);
    EXPECT_TRUE(reader.ok());

    // The image read once splits its lines alike, keeping every character of a long one.
    const ImageFile image("f.shx", GetParam().content);
    std::vector<std::string> lines;
    for (std::int32_t n = 1; n <= image.lineCount(); ++n) lines.emplace_back(image.line(n));
    std::vector<std::string> expected = GetParam().lines;
    if (!expected.empty() && expected.front() == kChunkEdge.substr(0, 256))
        expected.front() = kChunkEdge;
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(
    All, LineEnds,
    ::testing::Values(
        LineCase{"Empty", "", {}}, LineCase{"OnlyCrLf", "\r\n", {""}},
        LineCase{"CrLf", "a\r\nb\r\n", {"a", "b"}}, LineCase{"CrAlone", "a\rb\r", {"a", "b"}},
        LineCase{"LfAlone", "a\nb\n", {"a", "b"}}, LineCase{"NoFinalEnd", "a\r\nb", {"a", "b"}},
        LineCase{"EmptyLineBetween", "a\r\n\r\nb", {"a", "", "b"}},
        LineCase{"LfCrIsTwoEnds", "a\n\rb", {"a", "", "b"}},
        LineCase{"CrCrLfIsTwoEnds", "a\r\r\nb", {"a", "", "b"}},
        LineCase{"CrLfAcrossChunks", kChunkEdge + "\r\nb", {kChunkEdge.substr(0, 256), "b"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineReader, KeepsAPrefixOfAHugeLineButKnowsItsLength) {
    test::TempDir dir;
    const std::string huge(10 * 1024 * 1024, '7');
    LineReader reader(dir.writeRaw("huge.shx", "S0\r\n" + huge + "\r\nS8\r\n"));
    std::string line;
    ASSERT_TRUE(reader.readLine(line));
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, huge.substr(0, LineReader::kMaxKeptChars));
    EXPECT_EQ(reader.lastLength(), huge.size());
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "S8");
    EXPECT_EQ(reader.lastLength(), 2u);
    EXPECT_TRUE(reader.atEnd());
}

// Image paths as technicians have them: folders and names with spaces and letters beyond ASCII.
TEST(LineReader, ReadsImagesWhosePathsHaveSpacesAndLettersBeyondAscii) {
    test::TempDir dir;
    const std::filesystem::path names[] = {
        u8"Pr\u00fcfstand Halle 3/Steuerger\u00e4t \u00e4\u00f6\u00fc \u00df.shx",
        u8"\u043e\u0431\u0440\u0430\u0437\u044b/\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430 "
        u8"1.shx",
        u8"\u6620\u50cf \u30d5\u30a1\u30a4\u30eb.shx"};
    for (const auto& name : names) {
        LineReader reader(dir.write(name, {"S0", "S8"}));
        std::string first;
        std::string second;
        EXPECT_TRUE(reader.readLine(first) && reader.readLine(second)) << reader.error();
        EXPECT_EQ(first + second, "S0S8");
        EXPECT_TRUE(reader.atEnd());
    }
}

TEST(LineReader, ReportsAMissingFileAndAFolderThatCannotBeRead) {
    test::TempDir dir;
    LineReader missing(dir.path() / "gone.shx");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "Cannot open image file: No such file or directory");
    EXPECT_TRUE(missing.atEnd());

    LineReader folder(dir.path());
    std::string line;
    EXPECT_FALSE(folder.readLine(line));
    EXPECT_FALSE(folder.ok());
    EXPECT_EQ(folder.error(), "Cannot read image file: Is a directory");
}

}  // namespace
}  // namespace korvath::image
