// The window's remembered port and files, kept per user in the registry under
// HKEY_CURRENT_USER\Software\Korvath\Window.
#pragma once

#include <string>

#include "window/settings.h"

namespace korvath::ui_win32 {

class RegistrySettings final : public window::SettingsStore {
  public:
    /// `subKey` below HKEY_CURRENT_USER; tests give one of their own.
    explicit RegistrySettings(std::wstring subKey = L"Software\\Korvath\\Window")
        : subKey_(std::move(subKey)) {}

    [[nodiscard]] window::Remembered load() override;
    void save(const window::Remembered& remembered) override;

  private:
    std::wstring subKey_;
};

}  // namespace korvath::ui_win32
