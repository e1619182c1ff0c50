#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/image_files.h"
#include "image/prescan.h"
#include "image/record.h"

namespace korvath::image {
namespace {

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SrecCatImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(KORVATH_SREC_IMAGE).empty()) GTEST_SKIP() << "srec_cat not found";
    }
    // The build names the file in its own system's form; "/build/x.shx" has no drive on Windows.
    const std::filesystem::path image = std::filesystem::absolute(KORVATH_SREC_IMAGE);
};

TEST_F(SrecCatImage, HasTheShapeTheDeviceTakes) {
    const ImageRead read = readImage(image);
    ASSERT_TRUE(read.image) << read.fault.text;
    std::vector<std::string> lines;
    for (std::int32_t n = 1; n <= read.image->lineCount(); ++n)
        lines.emplace_back(read.image->line(n));
    ASSERT_EQ(lines.size(), 8194u);
    EXPECT_TRUE(beginsWith(lines.front(), "S0"));
    EXPECT_TRUE(beginsWith(lines.back(), "S8"));
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(checkRecord(lines[i])) << "line " << i + 1;
        ASSERT_EQ(lines[i].substr(4, 6), test::dataLine(0xE00000 + 64 * (i - 1)).substr(4, 6));
    }
    const std::string content = readFile(image);
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
    EXPECT_EQ(content.size(), 8192u * 142 + lines.front().size() + lines.back().size() + 4);
}

TEST_F(SrecCatImage, PassesThePrescanAndOneChangedDigitDoesNot) {
    const ImageRead read = readImage(image);
    ASSERT_TRUE(read.image) << read.fault.text;
    const PrescanResult result = prescanImage(*read.image, link::Model::M1);
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.imageKind, 1);
    EXPECT_EQ(result.lastRecordLine, 8193);
    EXPECT_TRUE(result.refusals.empty());

    std::string content = readFile(image);
    const std::size_t line4000 = content.find("S244E3E7C0");
    ASSERT_NE(line4000, std::string::npos);
    char& digit = content[line4000 + 139];
    digit = digit == '0' ? '1' : '0';
    test::TempDir dir;
    const PrescanResult bad = prescanImage(ImageFile("bad.shx", content), link::Model::M1);
    EXPECT_FALSE(bad.accepted);
    EXPECT_EQ(bad.statuses(), std::vector<std::string>{"Checksum Error"});
    ASSERT_EQ(bad.refusals.size(), 1u);
    EXPECT_EQ(bad.refusals[0].line, 4001);
    EXPECT_NE(bad.refusals[0].detail().find("line 4001: its checksum is"), std::string::npos)
        << bad.refusals[0].detail();
}

}  // namespace
}  // namespace korvath::image
