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

}  // namespace
}  // namespace korvath::platform
