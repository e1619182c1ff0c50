// The Win32 window's plain parts: the layout (the design's client area at every usual scale,
// no control outside its frame or the client area, where it would be cut off) and the settings
// kept in the registry (under a key of the test's own, in the test's Wine prefix).
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>

#include "platform/platform.h"
#include "ui_win32/layout.h"
#include "ui_win32/registry_settings.h"

namespace korvath::ui_win32 {
namespace {

struct Scale {
    int dpi;
    int clientWidth;
    int clientHeight;
};

// 100 %, 125 %, 150 %, 200 % and 300 %.
constexpr Scale kScales[] = {
    {96, 419, 146}, {120, 524, 183}, {144, 629, 219}, {192, 838, 292}, {288, 1257, 438},
};

struct Inside {
    Control control;
    Control frame;
};

constexpr Inside kFrames[] = {
    {Control::Bar, Control::StatusFrame},        {Control::Status, Control::StatusFrame},
    {Control::FileName, Control::FileFrame},     {Control::ChooseFile, Control::FileFrame},
    {Control::Download, Control::DownloadFrame}, {Control::LineSettings, Control::PortFrame},
    {Control::PortLabel, Control::PortFrame},    {Control::PortBox, Control::PortFrame},
    {Control::OpenPort, Control::PortFrame},     {Control::ClosePort, Control::PortFrame},
};

bool contains(const Rect& outer, const Rect& inner) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right() <= outer.right() &&
           inner.bottom() <= outer.bottom();
}

TEST(Win32Layout, DesignAtEveryScale) {
    for (const Scale& scale : kScales) {
        SCOPED_TRACE(scale.dpi);
        const Layout layout = layoutAt(scale.dpi);
        EXPECT_EQ(layout.clientWidth, scale.clientWidth);
        EXPECT_EQ(layout.clientHeight, scale.clientHeight);
        const Rect client{0, 0, layout.clientWidth, layout.clientHeight};
        for (int i = 0; i < kControlCount; ++i) {
            const auto control = static_cast<Control>(i);
            if (control == Control::Details) continue;
            EXPECT_TRUE(contains(client, layout[control])) << "control " << i;
            EXPECT_GT(layout[control].width, 0) << "control " << i;
            EXPECT_GT(layout[control].height, 0) << "control " << i;
        }
        for (const Inside& inside : kFrames) {
            EXPECT_TRUE(contains(layout[inside.frame], layout[inside.control]))
                << "control " << static_cast<int>(inside.control);
        }
        // The bar and the status box share a row without overlapping.
        EXPECT_LE(layout[Control::Bar].right(), layout[Control::Status].left);
    }
}

TEST(Win32Layout, DetailsLineGrowsTheWindowBelowTheDesign) {
    for (const Scale& scale : kScales) {
        SCOPED_TRACE(scale.dpi);
        const Layout layout = layoutAt(scale.dpi);
        const Rect& details = layout[Control::Details];
        EXPECT_EQ(details.top, layout.clientHeight);
        EXPECT_GT(details.left, 0);
        EXPECT_EQ(details.left + details.width + details.left, layout.clientWidth);
        EXPECT_EQ(clientHeightWithDetails(layout, 0, scale.dpi), layout.clientHeight);
        EXPECT_EQ(clientHeightWithDetails(layout, 30, scale.dpi),
                  layout.clientHeight + 30 + details.left);
    }
}

// The window opens centred on its monitor, then where it was left, moved in only as far as it
// must to be whole on the monitor; the title bar always stays reachable.
TEST(Win32Layout, WindowOpensCentredThenWhereItWasLeft) {
    const Rect main{0, 0, 1920, 1040};      // a taskbar below
    const Rect left{-1280, 0, 1280, 1024};  // a monitor left of the main one
    const struct {
        std::optional<Point> remembered;
        Rect work;
        int width, height;
        Point place;
    } kRows[] = {
        {std::nullopt, main, 440, 200, {740, 420}},
        {std::nullopt, left, 440, 200, {-860, 412}},
        {Point{100, 50}, main, 440, 200, {100, 50}},
        {Point{-1000, 300}, left, 440, 200, {-1000, 300}},
        // partly off the monitor: moved in
        {Point{1700, 950}, main, 440, 200, {1480, 840}},
        {Point{-1300, -20}, left, 440, 200, {-1280, 0}},
        // larger than the monitor: the top left stays on it
        {std::nullopt, Rect{0, 0, 400, 150}, 440, 200, {0, 0}},
        {Point{30, 30}, Rect{0, 0, 400, 150}, 440, 200, {0, 0}},
    };
    for (const auto& row : kRows) {
        EXPECT_EQ(windowPlace(row.remembered, row.width, row.height, row.work), row.place)
            << row.work.left << " " << (row.remembered ? row.remembered->x : -1);
    }
    EXPECT_EQ(centredTop(30, 14), 8);
    EXPECT_EQ(centredTop(10, 14), 0);
}

TEST(Win32Settings, KeepEveryCharacterOfPortAndPaths) {
    const std::wstring key = L"Software\\KorvathTest\\" +
                             std::to_wstring(::testing::UnitTest::GetInstance()->random_seed()) +
                             L"\\Window";
    RegistrySettings settings(key);
    EXPECT_EQ(settings.load(), window::Remembered{});

    const struct {
        const char* port;
        const char* folder;
        const char* image;
    } kRows[] = {
        {"COM12", "C:\\images", "C:\\images\\app.shx"},
        {"\\\\.\\COM3", "C:\\Z\xc3\xa4hler st\xc3\xa4nde",
         "\\\\server\\share\\\xe6\x97\xa5\xe6\x9c\xac\\\xf0\x9f\x94\xa7.shx"},
        {"", "", ""},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.image);
        const window::Remembered saved{row.port, platform::pathFromUtf8(row.folder),
                                       platform::pathFromUtf8(row.image)};
        settings.save(saved);
        EXPECT_EQ(settings.load(), saved);
    }
    // The window's place, on a monitor left of the main one too; saving the other settings
    // keeps it.
    EXPECT_EQ(settings.loadPlace(), std::nullopt);
    for (const Point place : {Point{120, 80}, Point{-1000, -20}}) {
        settings.savePlace(place);
        settings.save(window::Remembered{});
        EXPECT_EQ(settings.loadPlace(), place);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KorvathTest");
}

}  // namespace
}  // namespace korvath::ui_win32
