#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "image/image_files.h"
#include "image/prescan.h"

namespace korvath::image {
namespace {

using test::dataLine;
using test::kEndLine;
using test::kHeaderLine;
using Lines = std::vector<std::string>;

// No end pair was found.
constexpr std::int32_t kNoPair = 0;

struct PrescanCase {
    const char* name;
    Lines lines;
    int model;
    bool result;
    std::vector<std::string> messages;
    std::int16_t kind = 0;
    std::int32_t lastRecordLine = kNoPair;
    const char* lineEnd = "\r\n";
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const PrescanCase& c, std::ostream* os) { *os << c.name; }
};

const std::string kLast = dataLine(0xE7FFC0);

std::string badChecksum(std::string line) {
    line[139] = line[139] == '0' ? '1' : '0';
    return line;
}
std::string lowerCaseHex(std::string line) {
    for (std::size_t i = 1; i < line.size(); ++i)
        line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
    return line;
}
const Lines kValid = {
    kHeaderLine, dataLine(0xE7FF00), dataLine(0xE7FF40), dataLine(0xE7FF80), kLast, kEndLine};

class Prescan : public ::testing::TestWithParam<PrescanCase> {};

TEST_P(Prescan, JudgesTheWholeFile) {
    const PrescanCase& c = GetParam();
    test::TempDir dir;
    const auto file = dir.write("image.shx", c.lines, c.lineEnd);
    const PrescanResult result = PrescanImage(file, static_cast<link::Model>(c.model));
    EXPECT_EQ(result.accepted, c.result);
    EXPECT_EQ(result.refusals, c.messages);
    EXPECT_EQ(result.imageKind, c.kind);
    EXPECT_EQ(result.lastRecordLine, c.lastRecordLine);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Prescan,
    ::testing::Values(PrescanCase{"EmptyFile", {}, 1, false, {"Empty file"}},
                      PrescanCase{"SingleLineEnd", {""}, 1, false, {"Wrong file format"}},
                      PrescanCase{"LowerCaseHeader",
                                  {"s00600004844521B", kLast, kEndLine},
                                  1,
                                  false,
                                  {"Wrong file format"}},
                      PrescanCase{"HeaderOnly", {kHeaderLine}, 1, false, {}},
                      PrescanCase{"Valid", kValid, 1, true, {}, 1, 5},
                      PrescanCase{"ValidWithLf", kValid, 2, true, {}, 1, 5, "\n"},
                      PrescanCase{"ValidWithCr", kValid, 3, true, {}, 1, 5, "\r"},
                      PrescanCase{"LastRecordIsLastLine",
                                  {kHeaderLine, dataLine(0xE7FF80), kLast},
                                  1,
                                  false,
                                  {"Unexpected end of file"}},
                      PrescanCase{"LastRecordBeforeEmptyLine",
                                  {kHeaderLine, kLast, "", kEndLine},
                                  1,
                                  false,
                                  {"Unexpected end of file"}},
                      PrescanCase{"NoEndPairIsRefusedSilently",
                                  {kHeaderLine, dataLine(0xE7FF80), kEndLine},
                                  1,
                                  false,
                                  {}},
                      PrescanCase{"LowerCaseLastAddressIsNoEndPair",
                                  {kHeaderLine, lowerCaseHex(kLast), kEndLine},
                                  1,
                                  false,
                                  {}},
                      PrescanCase{"EndLineNotAfterLastRecordGoesOn",
                                  {kHeaderLine, dataLine(0xE7FF80), kEndLine, dataLine(0xE7FF80),
                                   kLast, kEndLine},
                                  1,
                                  true,
                                  {},
                                  1,
                                  5}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    KindAndAddress, Prescan,
    ::testing::Values(PrescanCase{"KindTwoOnModel3",
                                  {kHeaderLine, kLast, dataLine(0xE7FF80), kLast, kEndLine},
                                  3,
                                  true,
                                  {},
                                  2,
                                  4},
                      PrescanCase{"KindTwoOnModel1",
                                  {kHeaderLine, kLast, dataLine(0xE7FF80), kLast, kEndLine},
                                  1,
                                  false,
                                  {"Wrong file type"},
                                  2,
                                  4},
                      PrescanCase{"KindTwoOnModel2",
                                  {kHeaderLine, kLast, dataLine(0xE7FF80), kLast, kEndLine},
                                  2,
                                  false,
                                  {"Wrong file type"},
                                  2,
                                  4},
                      PrescanCase{"E8FFC0BeforeLast",
                                  {kHeaderLine, dataLine(0xE8FFC0), kLast, kEndLine},
                                  3,
                                  false,
                                  {"File too long"},
                                  1,
                                  3},
                      PrescanCase{"E9BeforeLast",
                                  {kHeaderLine, dataLine(0xE90000), kLast, kEndLine},
                                  3,
                                  false,
                                  {"File too long"},
                                  1,
                                  3},
                      PrescanCase{"E8FF80BeforeLast",
                                  {kHeaderLine, dataLine(0xE8FF80), kLast, kEndLine},
                                  1,
                                  true,
                                  {},
                                  1,
                                  3},
                      PrescanCase{"EA0000BeforeLastIsNotCaught",
                                  {kHeaderLine, dataLine(0xEA0000), kLast, kEndLine},
                                  1,
                                  true,
                                  {},
                                  1,
                                  3},
                      PrescanCase{"SecondLastAfterE8FFC0OnModel1",
                                  {kHeaderLine, kLast, dataLine(0xE8FFC0), kLast, kEndLine},
                                  1,
                                  false,
                                  {"File too long", "Wrong file type"},
                                  2,
                                  4},
                      PrescanCase{"SecondLastAfterE8FFC0OnModel3",
                                  {kHeaderLine, kLast, dataLine(0xE8FFC0), kLast, kEndLine},
                                  3,
                                  false,
                                  {"File too long"},
                                  2,
                                  4},
                      PrescanCase{"LaterPairAfterEndLineCounts",
                                  {kHeaderLine, kLast, kEndLine, kLast, kEndLine},
                                  1,
                                  false,
                                  {"Wrong file type"},
                                  2,
                                  4}),
    [](const auto& info) { return std::string(info.param.name); });

// Every line the programming loop would send is checked before anything is erased.
INSTANTIATE_TEST_SUITE_P(
    SentLines, Prescan,
    ::testing::Values(PrescanCase{"BadChecksum",
                                  {kHeaderLine, badChecksum(dataLine(0xE7FF80)), kLast, kEndLine},
                                  1,
                                  false,
                                  {"Checksum Error"}},
                      PrescanCase{"BadLastRecord",
                                  {kHeaderLine, badChecksum(kLast), kEndLine},
                                  1,
                                  false,
                                  {"Checksum Error"}},
                      PrescanCase{"TruncatedRecord",
                                  {kHeaderLine, dataLine(0xE7FF80).substr(0, 138), kLast, kEndLine},
                                  1,
                                  false,
                                  {"Checksum Error"}},
                      PrescanCase{"OtherRecordType",
                                  {kHeaderLine, "S1130000285F245F2212226A000424290008237C2A", kLast,
                                   kEndLine},
                                  1,
                                  false,
                                  {"Unexpected record length"}},
                      PrescanCase{"LowerCaseRecordType",
                                  {kHeaderLine, "s" + kLast.substr(1), kEndLine},
                                  1,
                                  false,
                                  {"Unexpected record length"}},
                      PrescanCase{"EmptyLineAmongData",
                                  {kHeaderLine, dataLine(0xE7FF80), "", kLast, kEndLine},
                                  1,
                                  false,
                                  {"Unexpected record length"}},
                      PrescanCase{"AfterEndLineOnlyEndPairsCount",
                                  {kHeaderLine, kLast, kEndLine, "garbage",
                                   badChecksum(dataLine(0xE7FF80)), kEndLine},
                                  1,
                                  true,
                                  {},
                                  1,
                                  2},
                      PrescanCase{"UnsentLastLineIsNotChecked",
                                  {kHeaderLine, dataLine(0xE7FF80), "garbage"},
                                  1,
                                  false,
                                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PrescanLimits, TakesThirtyTwoThousandSevenHundredSixtySevenLinesAndNoMore) {
    test::TempDir dir;
    const std::string filler = dataLine(0xE00000) + "\r\n";
    const auto image = [&](int dataLines) {
        std::string content = kHeaderLine + "\r\n";
        content.reserve(static_cast<std::size_t>(dataLines + 3) * filler.size());
        for (int i = 0; i < dataLines; ++i) content += filler;
        return dir.writeRaw("long.shx", content + kLast + "\r\n" + kEndLine + "\r\n");
    };
    const PrescanResult longest = PrescanImage(image(32764), link::Model::M1);
    EXPECT_TRUE(longest.accepted);
    EXPECT_EQ(longest.lastRecordLine, 32766);
    EXPECT_TRUE(longest.refusals.empty());

    const PrescanResult tooLong = PrescanImage(image(32765), link::Model::M1);
    EXPECT_FALSE(tooLong.accepted);
    EXPECT_EQ(tooLong.refusals, std::vector<std::string>{"File too long"});
}

TEST(PrescanFailures, NameTheFileProblem) {
    test::TempDir dir;
    const PrescanResult gone = PrescanImage(dir.path() / "gone.shx", link::Model::M1);
    const PrescanResult folder = PrescanImage(dir.path(), link::Model::M1);
    EXPECT_FALSE(gone.accepted);
    EXPECT_FALSE(folder.accepted);
    EXPECT_EQ(gone.refusals,
              std::vector<std::string>{"Cannot open image file: No such file or directory"});
    EXPECT_EQ(folder.refusals, std::vector<std::string>{"Cannot read image file: Is a directory"});
    EXPECT_EQ(folder.imageKind, 0);
    EXPECT_EQ(folder.lastRecordLine, kNoPair);
}

TEST(ImageHeader, IsTheFirstLineBeginningWithS0) {
    test::TempDir dir;
    const std::vector<std::pair<std::string, bool>> cases = {
        {"S0\r\n", true},  {"S00600004844521B", true}, {"s0\r\n", false},
        {"S\r\n0", false}, {"\r\nS0\r\n", false},      {"", false}};
    for (const auto& [content, expected] : cases)
        EXPECT_EQ(HasImageHeader(dir.writeRaw("h.shx", content)), expected) << content;
    EXPECT_FALSE(HasImageHeader(dir.path() / "gone.shx"));
    EXPECT_FALSE(HasImageHeader(dir.path()));
}

TEST(ImageExtent, CountsBytesAndLinesUpToTheLimit) {
    test::TempDir dir;
    const auto file = dir.write("e.shx", kValid);
    const ImageExtent all = MeasureImage(file, 100);
    EXPECT_EQ(all.bytes, 4 * 142u + 18 + 14);
    EXPECT_EQ(all.lines, 6);
    EXPECT_TRUE(all.error.empty());
    EXPECT_EQ(MeasureImage(file, 2).lines, 3);
    EXPECT_EQ(MeasureImage(dir.path() / "gone.shx", 100).error,
              "Cannot open image file: No such file or directory");
}

}  // namespace
}  // namespace korvath::image
