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

}  // namespace
}  // namespace korvath::platform
