// What the Qt face gives the window model from Qt: the settings store and SHA-256.
#pragma once

#include <string_view>

#include "image/check.h"
#include "window/settings.h"

namespace korvath::ui {

/// The user's settings through QSettings (on Linux ~/.config/korvath/korvath.conf).
class QtSettingsStore final : public window::SettingsStore {
  public:
    [[nodiscard]] window::Remembered load() override;
    void save(const window::Remembered& remembered) override;
};

[[nodiscard]] image::Sha256Digest qtSha256(std::string_view bytes);

}  // namespace korvath::ui
