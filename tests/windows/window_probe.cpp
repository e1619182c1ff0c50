// Drives korvath.exe from outside for the end-to-end tests, through messages to its controls as
// any other program could send them. One command per run; every wait has a deadline:
//   window_probe find TITLE SECONDS          waits for the window; prints its client size
//   window_probe text ID                     prints the control's text
//   window_probe state                       prints each control: id, enabled (0/1), text
//   window_probe set ID TEXT                 sets the control's text
//   window_probe click ID                    presses the button (posted: a box may follow)
//   window_probe wait-enabled ID SECONDS     waits until the control takes input
//   window_probe wait-text ID TEXT SECONDS   waits until the control shows TEXT; a message box
//                                            of the window meanwhile is printed and fails it
//   window_probe boxes                       prints and closes the window's message boxes
//   window_probe close                       asks the window to close
// Exit 0 on success, 1 when a wait ends without it, 2 on bad use. The window is found by its
// class name, so that one probe serves every title.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const wchar_t* kWindowClass = L"KorvathMainWindow";
constexpr DWORD kPollMs = 50;

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::wstring textOf(HWND window) {
    wchar_t buffer[4096] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, 5000, nullptr);
    return buffer;
}

HWND mainWindow() {
    return FindWindowW(kWindowClass, nullptr);
}

HWND controlOf(const char* id) {
    HWND window = mainWindow();
    return window ? GetDlgItem(window, std::atoi(id)) : nullptr;
}

struct Box {
    HWND owner;
    HWND found;
};

BOOL CALLBACK findBox(HWND window, LPARAM data) {
    auto* box = reinterpret_cast<Box*>(data);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (std::wstring(name) == L"#32770" && GetWindow(window, GW_OWNER) == box->owner &&
        IsWindowVisible(window)) {
        box->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND messageBox() {
    Box box{mainWindow(), nullptr};
    if (box.owner) EnumWindows(findBox, reinterpret_cast<LPARAM>(&box));
    return box.found;
}

// The box's title and its text (the static control 0xFFFF holds it).
std::string describe(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);
    return utf8(textOf(box)) + ": " + utf8(text ? textOf(text) : L"");
}

template <typename Done>
bool waitFor(double seconds, Done&& done) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(kPollMs);
    }
}

int usage() {
    std::fputs(
        "usage: window_probe find|place|move|text|state|set|click|wait-enabled|wait-text|boxes|"
        "close ...\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "find" && argc == 4) {
        HWND window = nullptr;
        if (!waitFor(std::atof(argv[3]), [&] {
                window = mainWindow();
                return window && IsWindowVisible(window);
            })) {
            return 1;
        }
        RECT client{};
        GetClientRect(window, &client);
        std::printf("%ldx%ld %s\n", client.right, client.bottom, utf8(textOf(window)).c_str());
        return 0;
    }
    // The window's frame and the work area of its monitor: left top width height, twice.
    if (command == "place" && argc == 2) {
        HWND window = mainWindow();
        if (!window) return 1;
        RECT frame{};
        GetWindowRect(window, &frame);
        MONITORINFO info{};
        info.cbSize = sizeof info;
        GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
        const RECT& work = info.rcWork;
        std::printf("%ld %ld %ld %ld %ld %ld %ld %ld\n", frame.left, frame.top,
                    frame.right - frame.left, frame.bottom - frame.top, work.left, work.top,
                    work.right - work.left, work.bottom - work.top);
        return 0;
    }
    if (command == "move" && argc == 4) {
        HWND window = mainWindow();
        if (!window) return 1;
        return SetWindowPos(window, nullptr, std::atoi(argv[2]), std::atoi(argv[3]), 0, 0,
                            SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 1;
    }
    if (command == "text" && argc == 3) {
        HWND c = controlOf(argv[2]);
        if (!c) return 1;
        std::printf("%s\n", utf8(textOf(c)).c_str());
        return 0;
    }
    if (command == "state" && argc == 2) {
        HWND window = mainWindow();
        if (!window) return 1;
        for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            std::printf("%d %d %s\n", GetDlgCtrlID(c), IsWindowEnabled(c) ? 1 : 0,
                        utf8(textOf(c)).c_str());
        }
        return 0;
    }
    if (command == "set" && argc == 4) {
        HWND c = controlOf(argv[2]);
        if (!c) return 1;
        const std::wstring text = wide(argv[3]);
        SendMessageTimeoutW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                            SMTO_ABORTIFHUNG, 5000, nullptr);
        return 0;
    }
    if (command == "click" && argc == 3) {
        HWND c = controlOf(argv[2]);
        return c && PostMessageW(c, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (command == "wait-enabled" && argc == 4) {
        return waitFor(std::atof(argv[3]),
                       [&] {
                           HWND c = controlOf(argv[2]);
                           return c && IsWindowEnabled(c);
                       })
                   ? 0
                   : 1;
    }
    if (command == "wait-text" && argc == 5) {
        const std::wstring expected = wide(argv[3]);
        std::string box;
        const bool seen = waitFor(std::atof(argv[4]), [&] {
            if (HWND b = messageBox()) {
                box = describe(b);
                return true;
            }
            HWND c = controlOf(argv[2]);
            return c && textOf(c) == expected;
        });
        HWND c = controlOf(argv[2]);
        std::printf("%s\n", c ? utf8(textOf(c)).c_str() : "");
        if (!box.empty()) std::printf("box %s\n", box.c_str());
        return seen && box.empty() ? 0 : 1;
    }
    if (command == "boxes" && argc == 2) {
        for (int closed = 0; closed < 20; ++closed) {
            HWND b = messageBox();
            if (!b) break;
            std::printf("%s\n", describe(b).c_str());
            SendMessageTimeoutW(b, WM_COMMAND, IDOK, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
            Sleep(kPollMs);
        }
        return 0;
    }
    if (command == "close" && argc == 2) {
        HWND window = mainWindow();
        return window && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    return usage();
}
