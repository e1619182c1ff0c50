// What the window asks of the user outside its own controls: message boxes, the open-file
// dialog and the beep. Behind an interface so that tests can script the answers.
#pragma once

#include <optional>

#include <QString>

class QWidget;

namespace korvath::ui {

enum class MessageIcon { None, Information, Warning };

/// The open-file dialog's first filter (the second is every file): description as the user sees it,
/// and the patterns that match an image file name in any letter case.
inline constexpr const char* kImageFilterDescription = "Motorola Extendex [*.SHX]";
[[nodiscard]] QString imageFileNameFilter();

class Prompts {
  public:
    virtual ~Prompts() = default;

    /// A modal box with an OK button; returns once the user has closed it.
    virtual void message(QWidget* parent, MessageIcon icon, const QString& title,
                         const QString& text) = 0;

    /// The open-file dialog for an image, starting at `startPath` (a folder or a previous
    /// file, may be empty). The full path of the confirmed file; nothing when cancelled.
    [[nodiscard]] virtual std::optional<QString> chooseImageFile(QWidget* parent,
                                                                 const QString& startPath) = 0;

    /// The system's default sound.
    virtual void beep() = 0;

    /// A question with the buttons "Stop" and "Keep downloading", Keep downloading the default
    /// and the answer of a box closed otherwise. True for Stop.
    [[nodiscard]] virtual bool askToStop(QWidget* parent, const QString& title,
                                         const QString& text) = 0;
};

/// The real boxes, dialog and beep.
class QtPrompts final : public Prompts {
  public:
    void message(QWidget* parent, MessageIcon icon, const QString& title,
                 const QString& text) override;
    [[nodiscard]] std::optional<QString> chooseImageFile(QWidget* parent,
                                                         const QString& startPath) override;
    void beep() override;
    [[nodiscard]] bool askToStop(QWidget* parent, const QString& title,
                                 const QString& text) override;
};

}  // namespace korvath::ui
