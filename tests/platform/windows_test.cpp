#include <gtest/gtest.h>

#include "platform/platform.h"

namespace korvath::platform {
namespace {

TEST(FullPath, ThisSystemsForms) {
    EXPECT_TRUE(isFullPath(R"(C:\images\app one.shx)"));
    EXPECT_TRUE(isFullPath("c:/images/app.shx"));
    EXPECT_TRUE(isFullPath(R"(\\server\share\app.shx)"));
    EXPECT_TRUE(isFullPath(R"(\\?\C:\images\app.shx)"));
    EXPECT_TRUE(isFullPath("//server/share/app.shx"));
    EXPECT_FALSE(isFullPath(R"(\images\app.shx)"));
    EXPECT_FALSE(isFullPath("C:app.shx"));
    EXPECT_FALSE(isFullPath("/home/tech/app.shx"));
}

// main()'s argv is ignored: the arguments are read again from the wide command line.
TEST(Utf8Arguments, AreTheArgumentsAsGiven) {
    char program[] = "not this";
    char* argv[] = {program, nullptr};
    Utf8Arguments arguments(1, argv);
    ASSERT_GE(arguments.count(), 1);
    EXPECT_TRUE(arguments.texts()[0].ends_with("korvath_platform_tests.exe"))
        << arguments.texts()[0];
    EXPECT_EQ(arguments.values()[arguments.count()], nullptr);
}

}  // namespace
}  // namespace korvath::platform
