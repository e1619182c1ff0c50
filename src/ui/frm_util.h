// The main window frmUtil, the Qt face of the window model: it builds the controls, forwards
// what the user does to the model and draws what the model says. The rules are in
// window/window_model.h; the port and the download live on the model's thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include <QString>
#include <QWidget>

#include "link/clock.h"
#include "ports/port_opener.h"
#include "ui/prompts.h"
#include "window/effects_guard.h"
#include "window/layout.h"
#include "window/settings.h"
#include "window/window_model.h"

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace korvath::ui {

class ElidingLineEdit;
class PortComboBox;

/// What the window needs from outside; all must outlive it.
struct WindowServices {
    Prompts& prompts;
    ports::PortOpener& ports;
    /// The download's clock; null means the wall clock. Tests pass a virtual one.
    link::Clock* clock = nullptr;
    /// Where the port text, the image folder and the last image are kept; null keeps them for
    /// this window only (tests never touch the user's settings).
    window::SettingsStore* settings = nullptr;
    /// The image to start with (`korvath FILE`), its bytes as given; empty: the remembered one.
    std::filesystem::path image = {};
};

class FrmUtil : public QWidget, private window::WindowFace {
    Q_OBJECT

  public:
    /// The title before the version is appended (two blanks after the dash).
    static constexpr const char* kDesignTitle = "Velbrannic -  Application Downloader";
    /// Qt lays out in device-independent pixels: the design at 96 dpi, scaled by Qt itself.
    static constexpr int kDesignDpi = 96;

    explicit FrmUtil(WindowServices services, QWidget* parent = nullptr);
    ~FrmUtil() override;

    /// The button commands, as the buttons call them. Index 0 is Open, 1 is Close.
    void cmdOperClick(int index);
    void cmdSelectFileClick();
    void dwnloadButtonClick();

    /// From the first step of the Download command until the download has ended.
    [[nodiscard]] bool isBusy() const { return model_->state().busy; }
    /// The port state as the download thread last reported it.
    [[nodiscard]] bool portIsOpen() const { return model_->state().portOpen; }
    [[nodiscard]] korvath::download::Ending lastEnding() const {
        return model_->state().lastEnding;
    }
    /// Full path of the file last confirmed in the dialog, also when it was then refused.
    [[nodiscard]] const QString& dialogFileName() const { return dialogFileName_; }
    /// Full path of the chosen image that Download sends; empty when none is chosen.
    [[nodiscard]] QString imagePath() const;

    /// From any thread, for a process that ends without its window (the display connection
    /// broke): stops a running download at its next exchange and waits, at most `deadline`,
    /// until its exit frame is out.
    bool stopForExit(std::chrono::milliseconds deadline) { return model_->stopForExit(deadline); }

  signals:
    /// The status box now shows `text` on `colour` (0xBBGGRR).
    void statusShown(const QString& text, quint32 colour);
    /// A download has ended and the window is idle again.
    void downloadEnded();
    /// The port state was read back and the controls now show it.
    void portStateShown(bool open);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void wake() override;
    void pollModel();

    void buildControls();
    /// Gives `widget` the object name, font weight, tool tip and colours of `control`.
    void styleControl(QWidget* widget, window::Control control);
    void placeControls();
    void setTitle();

    /// Draws the model's state, then does what `effects` ask (boxes, beep, the file dialog).
    void follow(window::Effects effects);
    void draw();
    void showEffects(const window::Effects& effects);
    void setBusyPointer(bool busy);

    Prompts& prompts_;
    std::unique_ptr<window::MemorySettings> ownSettings_;
    std::unique_ptr<window::WindowModel> model_;
    std::atomic<bool> wakePending_{false};
    window::EffectsGuard guard_{*this};
    const window::Layout layout_ = window::layoutAt(kDesignDpi);

    // The design's controls, also by their row in the design (controls_).
    std::array<QWidget*, window::kControlCount> controls_{};
    QGroupBox* statusFrame_ = nullptr;
    QProgressBar* bar_ = nullptr;
    ElidingLineEdit* status_ = nullptr;
    QGroupBox* fileFrame_ = nullptr;
    ElidingLineEdit* fileName_ = nullptr;
    QPushButton* chooseFileButton_ = nullptr;
    QGroupBox* downloadFrame_ = nullptr;
    QPushButton* downloadButton_ = nullptr;
    QGroupBox* portFrame_ = nullptr;
    QLabel* lineSettings_ = nullptr;
    QLabel* portLabel_ = nullptr;
    PortComboBox* portBox_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QLabel* details_ = nullptr;

    bool busyPointer_ = false;
    bool drawnBusy_ = false;
    QString dialogFileName_;
};

}  // namespace korvath::ui
