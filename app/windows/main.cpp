// korvath.exe: the window. `korvath FILE` starts with FILE chosen; --version and --help print
// to the console the program was started from and exit.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "korvath/version.h"
#include "ports/system/system_ports.h"
#include "ui_win32/main_window.h"
#include "ui_win32/registry_settings.h"
#include "window/usage.h"

namespace {

using korvath::window::kUsage;

std::vector<std::wstring> arguments() {
    int count = 0;
    LPWSTR* values = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> result;
    for (int i = 1; i < count; ++i) result.emplace_back(values[i]);
    LocalFree(values);
    return result;
}

// A program without a console writes to the one of the program that started it, if any.
int print(const char* text, int code) {
    if (AttachConsole(ATTACH_PARENT_PROCESS) || GetStdHandle(STD_OUTPUT_HANDLE)) {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD written = 0;
        if (out && out != INVALID_HANDLE_VALUE)
            WriteFile(out, text, static_cast<DWORD>(std::char_traits<char>::length(text)), &written,
                      nullptr);
    }
    return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    std::optional<std::filesystem::path> image;
    bool options = true;
    for (const std::wstring& argument : arguments()) {
        if (options && argument == L"--") {
            options = false;
            continue;
        }
        if (!options) {
            if (image) return print(kUsage, 2);
            image = std::filesystem::path(argument);
            continue;
        }
        if (argument == L"--version") {
            return print((std::string("korvath ") + korvath::kVersionText + "\n").c_str(), 0);
        }
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            return print(kUsage, 0);
        }
        if (argument.starts_with(L"-") || image) return print(kUsage, 2);
        image = std::filesystem::path(argument);
    }

    // The open-file dialog needs COM on the window's thread.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                                       ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    korvath::ports::SystemPorts ports(korvath::ports::SystemPorts::kWindowListAdvice);
    korvath::ui_win32::RegistrySettings settings;
    korvath::ui_win32::MainWindow window(instance, ports, settings, &settings);
    window.show(showCommand, image);
    const int code = window.run();
    CoUninitialize();
    return code;
}
