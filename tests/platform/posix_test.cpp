#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

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

#if defined(__linux__)
TEST(ExactTimers, LeastSlackForTheCallingThreadAndThoseItStarts) {
    const int before = ::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    std::thread([] {
        exactTimers();
        EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
        std::thread([] { EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1); }).join();
    }).join();
    EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), before);
}
#endif

}  // namespace
}  // namespace korvath::platform
