// The Win32 face of the window model: it builds the controls of the window's design,
// forwards what the user does to the model and draws what the model says. Message boxes, the
// beep, the open-file dialog and the busy pointer are the Win32 ones; the model's reports
// arrive as a message posted to the window, so they are drawn on its own thread.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_opener.h"
#include "ui_win32/layout.h"
#include "ui_win32/registry_settings.h"
#include "window/effects_guard.h"
#include "window/window_model.h"

namespace korvath::ui_win32 {

class MainWindow final : public window::WindowFace {
  public:
    /// The window class is registered on first use; `ports`, `settings` and `places` (where
    /// the window opens; null: centred each time) must outlive the window.
    MainWindow(HINSTANCE instance, ports::PortOpener& ports, window::SettingsStore& settings,
               PlaceStore* places = nullptr);
    ~MainWindow() override;

    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    /// Shows the window and applies the model's start (with `image` chosen when given).
    void show(int showCommand, const std::optional<std::filesystem::path>& image);

    /// Runs the message loop until the window is closed; returns the exit code.
    int run();

    [[nodiscard]] HWND handle() const { return window_; }

    void wake() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT handle(UINT message, WPARAM w, LPARAM l);

    void createControls();
    void createFonts();
    void placeControls();
    void placeWindow();
    void rememberPlace();
    void centreFileName();
    void addTool(Control control, const std::wstring& text);
    void setTip(Control control, const std::wstring& text);

    void onCommand(int id, int code);
    void onEnter();
    void openPort();
    void dropFiles(HDROP drop);
    void fillPortList();
    void drawPortChoice(const DRAWITEMSTRUCT& item);
    LRESULT colourFor(HWND control, HDC dc);
    void onWake();

    /// Draws state() and then shows `effects`, and those that follow from them.
    void apply(window::Effects effects);
    void draw();
    void showDetails(const std::string& text);
    std::optional<std::filesystem::path> askForImage(const std::filesystem::path& start);

    [[nodiscard]] HWND control(Control c) const { return controls_[static_cast<int>(c)]; }

    HINSTANCE instance_;
    ports::PortOpener& ports_;
    PlaceStore* places_;
    HWND window_ = nullptr;
    HWND tips_ = nullptr;
    std::array<HWND, kControlCount> controls_{};
    int dpi_ = 96;
    Layout layout_{};
    int detailsHeight_ = 0;

    HFONT font_ = nullptr;
    HFONT boldFont_ = nullptr;
    HBRUSH backBrush_ = nullptr;
    HBRUSH statusBrush_ = nullptr;
    HBRUSH fileBrush_ = nullptr;
    HBRUSH portBoxBrush_ = nullptr;
    COLORREF statusColour_ = 0;

    std::vector<ports::PortChoice> choices_;
    std::string drawnPortText_;
    std::wstring shownStatus_;
    std::wstring shownDetails_;
    bool busyPointer_ = false;

    /// A wake is posted and not yet handled: further wakes need no message of their own.
    std::atomic<bool> wakePosted_{false};
    window::EffectsGuard guard_{*this};

    std::unique_ptr<window::WindowModel> model_;
};

}  // namespace korvath::ui_win32
