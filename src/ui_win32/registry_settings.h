// The window's remembered port and files, and where the window was left, kept per user in the
// registry under HKEY_CURRENT_USER\Software\Korvath\Window.
#pragma once

#include <optional>
#include <string>

#include "ui_win32/layout.h"
#include "window/settings.h"

namespace korvath::ui_win32 {

/// Where the window was left: its frame's top left in screen pixels.
class PlaceStore {
  public:
    virtual ~PlaceStore() = default;
    /// None when no place was saved or it cannot be read.
    [[nodiscard]] virtual std::optional<Point> loadPlace() = 0;
    /// Quiet when it cannot write, as the settings are.
    virtual void savePlace(Point place) = 0;
};

class RegistrySettings final : public window::SettingsStore, public PlaceStore {
  public:
    /// `subKey` below HKEY_CURRENT_USER; tests give one of their own.
    explicit RegistrySettings(std::wstring subKey = L"Software\\Korvath\\Window")
        : subKey_(std::move(subKey)) {}

    [[nodiscard]] window::Remembered load() override;
    void save(const window::Remembered& remembered) override;

    [[nodiscard]] std::optional<Point> loadPlace() override;
    void savePlace(Point place) override;

  private:
    std::wstring subKey_;
};

}  // namespace korvath::ui_win32
