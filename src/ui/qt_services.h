// What the Qt face gives the window model from Qt: the settings store.
#pragma once

#include "window/settings.h"

namespace korvath::ui {

/// The user's settings through QSettings (on Linux ~/.config/korvath/korvath.conf).
class QtSettingsStore final : public window::SettingsStore {
  public:
    [[nodiscard]] window::Remembered load() override;
    void save(const window::Remembered& remembered) override;
};

}  // namespace korvath::ui
