#include <gtest/gtest.h>

#include "platform/platform.h"

namespace korvath::platform {
namespace {

TEST(FullPath, ThisSystemsForms) {
    EXPECT_TRUE(isFullPath("/home/tech/images/app one.shx"));
    EXPECT_TRUE(isFullPath("//server/share/app.shx"));
    EXPECT_FALSE(isFullPath(R"(C:\images\app.shx)"));
    EXPECT_FALSE(isFullPath("~/app.shx"));
}

TEST(Utf8Arguments, AreTheArgumentsAsGiven) {
    char program[] = "korvath-cli";
    char image[] =
        "Pr\xC3\xBC"
        "fstand/Bild \xC3\xA4.shx";
    char* argv[] = {program, image, nullptr};
    Utf8Arguments arguments(2, argv);
    ASSERT_EQ(arguments.count(), 2);
    EXPECT_EQ(arguments.texts()[1], image);
    EXPECT_STREQ(arguments.values()[1], image);
    EXPECT_EQ(arguments.values()[2], nullptr);
}

}  // namespace
}  // namespace korvath::platform
