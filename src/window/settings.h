// What the window remembers between runs, behind an interface: the Qt face keeps it in Qt's
// settings, a Windows face in the registry, tests in memory.
#pragma once

#include <filesystem>
#include <string>

namespace korvath::window {

struct Remembered {
    /// The port text of the last port that opened; empty when none did yet.
    std::string portText;
    /// The folder of the last image chosen; the file dialog starts there.
    std::filesystem::path imageFolder;
    /// The last image loaded (its first line began with S0), chosen again at the next start.
    std::filesystem::path lastImage;

    bool operator==(const Remembered&) const = default;
};

class SettingsStore {
  public:
    virtual ~SettingsStore() = default;

    /// What was saved last; empty fields for what was never saved or cannot be read.
    [[nodiscard]] virtual Remembered load() = 0;
    /// Replaces what is saved. A store that cannot write keeps quiet: remembering is a comfort,
    /// never a reason to stop the user.
    virtual void save(const Remembered& remembered) = 0;
};

/// Keeps the settings for the life of the object only.
class MemorySettings final : public SettingsStore {
  public:
    MemorySettings() = default;
    explicit MemorySettings(Remembered remembered) : remembered_(std::move(remembered)) {}

    [[nodiscard]] Remembered load() override { return remembered_; }
    void save(const Remembered& remembered) override { remembered_ = remembered; }

  private:
    Remembered remembered_;
};

}  // namespace korvath::window
