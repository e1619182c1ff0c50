#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "image/image_files.h"
#include "image/prescan.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

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
    const char* reasonHas = "";  ///< the first refusal's reason holds this
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
    const ImageRead read = readImage(dir.write("image.shx", c.lines, c.lineEnd));
    ASSERT_TRUE(read.image) << read.fault.text;
    const PrescanResult result = prescanImage(*read.image, static_cast<link::Model>(c.model));
    EXPECT_EQ(result.accepted, c.result);
    EXPECT_EQ(result.statuses(), c.messages);
    // Every refusal says, beside its status, where and why.
    for (const Refusal& refusal : result.refusals) EXPECT_FALSE(refusal.reason.empty());
    if (*c.reasonHas != '\0') {
        ASSERT_FALSE(result.refusals.empty());
        EXPECT_NE(result.refusals.front().reason.find(c.reasonHas), std::string::npos)
            << result.refusals.front().reason;
    }
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
                      PrescanCase{"ByteOrderMarkAndTabKeptInTheExcerpt",
                                  {"\xEF\xBB\xBFS0\t0600004844521B", kLast, kEndLine},
                                  1,
                                  false,
                                  {"Wrong file format"},
                                  0,
                                  kNoPair,
                                  "\r\n",
                                  "\"\\xef\\xbb\\xbfS0\\t0600004844..."},
                      PrescanCase{"HeaderOnly", {kHeaderLine}, 1, false, {"No last record E7FFC0"}},
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
                      PrescanCase{"NoEndPairNamesTheLastRecord",
                                  {kHeaderLine, dataLine(0xE7FF80), kEndLine},
                                  1,
                                  false,
                                  {"No last record E7FFC0"}},
                      PrescanCase{"LowerCaseLastAddressIsNoEndPair",
                                  {kHeaderLine, lowerCaseHex(kLast), kEndLine},
                                  1,
                                  false,
                                  {"No last record E7FFC0"}},
                      // Two images one after the other: the programming loop stops at the
                      // first end line, so the pair after it is out of reach.
                      PrescanCase{"LastRecordOnlyAfterTheFirstEndLine",
                                  {kHeaderLine, dataLine(0xE7FF80), kEndLine, dataLine(0xE7FF80),
                                   kLast, kEndLine},
                                  1,
                                  false,
                                  {"No last record E7FFC0"},
                                  1}),
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
                      PrescanCase{"E8FF80BeforeLastOnModel3",
                                  {kHeaderLine, dataLine(0xE8FF80), kLast, kEndLine},
                                  3,
                                  true,
                                  {},
                                  1,
                                  3},
                      PrescanCase{"E8FF80BeforeLastOnModel1",
                                  {kHeaderLine, dataLine(0xE8FF80), kLast, kEndLine},
                                  1,
                                  false,
                                  {"Record outside flash"},
                                  1,
                                  3},
                      PrescanCase{"EA0000BeforeLastIsOutsideTheFlash",
                                  {kHeaderLine, dataLine(0xEA0000), kLast, kEndLine},
                                  3,
                                  false,
                                  {"Record outside flash"},
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
                                  2}),
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
                                  {"No last record E7FFC0"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Where every record sent would land: found before anything is erased.
INSTANTIATE_TEST_SUITE_P(
    Records, Prescan,
    ::testing::Values(
        PrescanCase{"NotOnA64ByteBoundary",
                    {kHeaderLine, dataLine(0xE00010), kLast, kEndLine},
                    1,
                    false,
                    {"Misaligned record"},
                    1,
                    3},
        PrescanCase{"RunningPastTheEnd",
                    {kHeaderLine, dataLine(0xE7FFE0), kLast, kEndLine},
                    1,
                    false,
                    {"Misaligned record"},
                    1,
                    3},
        PrescanCase{"AtZero",
                    {kHeaderLine, dataLine(0x000000), kLast, kEndLine},
                    3,
                    false,
                    {"Record outside flash"},
                    1,
                    3},
        PrescanCase{"BelowTheFlash",
                    {kHeaderLine, dataLine(0xDFFFC0), kLast, kEndLine},
                    3,
                    false,
                    {"Record outside flash"},
                    1,
                    3},
        PrescanCase{"NinthSectorOnModel1",
                    {kHeaderLine, dataLine(0xE80000), kLast, kEndLine},
                    1,
                    false,
                    {"Record outside flash"},
                    1,
                    3},
        PrescanCase{"NinthSectorOnModel2",
                    {kHeaderLine, dataLine(0xE80000), kLast, kEndLine},
                    2,
                    false,
                    {"Record outside flash"},
                    1,
                    3},
        PrescanCase{"NinthSectorOnModel3",
                    {kHeaderLine, dataLine(0xE80000), kLast, kEndLine},
                    3,
                    true,
                    {},
                    1,
                    3},
        PrescanCase{"SameAddressTwice",
                    {kHeaderLine, dataLine(0xE00000), dataLine(0xE00040), dataLine(0xE00000, 7),
                     kLast, kEndLine},
                    1,
                    false,
                    {"Duplicate address"},
                    1,
                    5},
        // Model 3 writes its last record at E8FFC0: a record of the file there meets it.
        PrescanCase{"MovedLastRecordMeetsARecord",
                    {kHeaderLine, dataLine(0xE8FFC0), dataLine(0xE7FF80), kLast, kEndLine},
                    3,
                    false,
                    {"Duplicate address"},
                    1,
                    4},
        PrescanCase{"ThreeLastRecordsOnModel3",
                    {kHeaderLine, kLast, kLast, kLast, kEndLine},
                    3,
                    false,
                    {"Duplicate address"},
                    2,
                    4},
        // The rule that was there first keeps its message.
        PrescanCase{
            "BadChecksumBeforeMisaligned",
            {kHeaderLine, dataLine(0xE00010), badChecksum(dataLine(0xE00040)), kLast, kEndLine},
            1,
            false,
            {"Checksum Error"}},
        PrescanCase{"KindTwoInTheNinthSectorOnModel1",
                    {kHeaderLine, kLast, dataLine(0xE80000), kLast, kEndLine},
                    1,
                    false,
                    {"Wrong file type"},
                    2,
                    4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PrescanRefusals, GiveTheLineAndTheReason) {
    const ImageFile misaligned("m.shx", kHeaderLine + "\r\n" + dataLine(0xE7FF80) + "\r\n" +
                                            dataLine(0xE00010) + "\r\n" + kLast + "\r\n" +
                                            kEndLine + "\r\n");
    const PrescanResult result = prescanImage(misaligned, link::Model::M1);
    ASSERT_EQ(result.refusals.size(), 1u);
    EXPECT_EQ(result.refusals[0].line, 3);
    EXPECT_EQ(result.refusals[0].detail(),
              "line 3: the record at E00010 does not begin on a 64-byte boundary");

    const ImageFile twice("t.shx", kHeaderLine + "\n" + kLast + "\n" + dataLine(0xE7FF80) + "\n" +
                                       kLast + "\n" + kLast + "\n" + kEndLine + "\n");
    EXPECT_EQ(prescanImage(twice, link::Model::M3).refusals.at(0).detail(),
              "line 4: the record at E7FFC0 was already written by line 2");
    EXPECT_EQ(prescanImage(ImageFile("s.shx", kHeaderLine + "\n" + dataLine(0xE7FF80) + "\n" +
                                                  kEndLine + "\n"),
                           link::Model::M1)
                  .refusals.at(0)
                  .detail(),
              "line 3: the first end line follows the record at E7FF80, not the one at E7FFC0");
    EXPECT_EQ(prescanImage(ImageFile("o.shx", kHeaderLine + "\n" + dataLine(0xE80000) + "\n" +
                                                  kLast + "\n" + kEndLine + "\n"),
                           link::Model::M2)
                  .refusals.at(0)
                  .detail(),
              "line 2: the record at E80000 is outside the flash of model 2 (E00000-E7FFFF)");
}

TEST(PrescanLimits, TakesThirtyTwoThousandSevenHundredSixtySevenLinesAndNoMore) {
    test::TempDir dir;
    // LF line ends keep 32767 lines within the byte limit.
    const std::string filler = dataLine(0xE00000) + "\n";
    const auto content = [&](int dataLines) {
        std::string text = kHeaderLine + "\n";
        text.reserve(static_cast<std::size_t>(dataLines + 3) * filler.size());
        for (int i = 0; i < dataLines; ++i) text += filler;
        return text + kLast + "\n" + kEndLine + "\n";
    };
    // The length is taken; the same address on every line is what refuses it.
    const ImageRead longest = readImage(dir.writeRaw("long.shx", content(32764)));
    ASSERT_TRUE(longest.image) << longest.fault.text;
    EXPECT_EQ(prescanImage(*longest.image, link::Model::M1).statuses(),
              std::vector<std::string>{"Duplicate address"});

    const ImageRead tooLong = readImage(dir.writeRaw("long.shx", content(32765)));
    EXPECT_EQ(tooLong.failure, ReadFailure::TooLong);
    EXPECT_EQ(tooLong.fault, (platform::Fault{platform::ErrorNumber::Overflow, "File too long"}));
    EXPECT_EQ(prescanImage(ImageFile("long.shx", content(32765)), link::Model::M1).statuses(),
              std::vector<std::string>{"File too long"});
}

TEST(readImage, ReadsRegularFilesOnlyAndJudgesTheSizeFirst) {
    test::TempDir dir;
    const ImageRead gone = readImage(dir.path() / "gone.shx");
    EXPECT_EQ(gone.failure, ReadFailure::Missing);
    EXPECT_EQ(gone.fault, (platform::Fault{platform::ErrorNumber::FileNotFound,
                                           "Cannot open image file: No such file or directory"}));
    const ImageRead folder = readImage(dir.path());
    EXPECT_EQ(folder.failure, ReadFailure::Folder);
    EXPECT_EQ(folder.fault, (platform::Fault{platform::ErrorNumber::PathFileAccess,
                                             "Cannot read image file: Is a directory"}));
    EXPECT_FALSE(folder.image);

    // Largest taken, one byte more refused; a sparse file of 2 GB is refused without reading it.
    const auto sized = dir.writeRaw("sized.shx", std::string(kMaxImageBytes, 'S'));
    EXPECT_TRUE(readImage(sized).image);
    std::filesystem::resize_file(sized, kMaxImageBytes + 1);
    EXPECT_EQ(readImage(sized).failure, ReadFailure::TooLong);
    std::filesystem::resize_file(sized, 2'000'000'000);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(readImage(sized).fault.text, "File too long");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));

    const ImageRead read = readImage(dir.write("e.shx", kValid));
    ASSERT_TRUE(read.image);
    EXPECT_EQ(read.image->bytes().size(), 4 * 142u + 18 + 14);
    EXPECT_EQ(read.image->lineCount(), 6);
    EXPECT_EQ(read.image->line(6), kEndLine);
    EXPECT_EQ(read.image->line(7), "");
}

#ifndef _WIN32
// A pipe would block the reader until someone writes to it; a device never ends.
TEST(readImage, RefusesPipesAndDevicesWithoutWaiting) {
    test::TempDir dir;
    const auto fifo = dir.path() / "fifo.shx";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::filesystem::path& path : {fifo, std::filesystem::path("/dev/zero")}) {
        const ImageRead read = readImage(path);
        EXPECT_EQ(read.failure, ReadFailure::NotRegular) << path;
        EXPECT_EQ(read.fault, (platform::Fault{platform::ErrorNumber::PathFileAccess,
                                               "Cannot read image file: not a regular file"}))
            << path;
    }
    EXPECT_FALSE(hasImageHeader(fifo));
}
#endif

TEST(ImageHeader, IsTheFirstLineBeginningWithS0) {
    test::TempDir dir;
    const std::vector<std::pair<std::string, bool>> cases = {
        {"S0\r\n", true},  {"S00600004844521B", true}, {"s0\r\n", false},
        {"S\r\n0", false}, {"\r\nS0\r\n", false},      {"", false}};
    for (const auto& [content, expected] : cases)
        EXPECT_EQ(hasImageHeader(dir.writeRaw("h.shx", content)), expected) << content;
    EXPECT_FALSE(hasImageHeader(dir.path() / "gone.shx"));
    EXPECT_FALSE(hasImageHeader(dir.path()));
    // Too long to take: the image checks say so, not the header test.
    EXPECT_TRUE(
        hasImageHeader(dir.writeRaw("long.shx", "S0\r\n" + std::string(kMaxImageBytes, '7'))));
}

}  // namespace
}  // namespace korvath::image
