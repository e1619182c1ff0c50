#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/append_file.h"
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

// A log must be a file on a disk: Windows' device names (in any folder, with any extension), its
// device namespace and pipes are refused by their kind before a record could vanish into them.
TEST(AppendFile, RefusesWindowsDevicesAndPipes) {
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    const struct {
        std::filesystem::path path;
        const char* text;
    } kRows[] = {
        {"NUL", "is a device (NUL), not a regular file"},
        {"con", "is a device (CON), not a regular file"},
        {"COM6", "is a device (COM6), not a regular file"},
        {temp / "aux.jsonl", "is a device (AUX), not a regular file"},
        {temp / "Lpt1.log", "is a device (LPT1), not a regular file"},
        {R"(\\.\pipe\korvath-test)", "is a pipe, not a regular file"},
        {R"(\\.\COM12)", "is a device (\\\\.\\COM12), not a regular file"},
    };
    for (const auto& row : kRows) {
        const Result<std::unique_ptr<AppendFile>> opened = AppendFile::open(row.path);
        ASSERT_FALSE(opened) << row.path.string();
        EXPECT_EQ(opened.fault(), (Fault{ErrorNumber::PathFileAccess, row.text}));
    }
}

}  // namespace
}  // namespace korvath::platform
