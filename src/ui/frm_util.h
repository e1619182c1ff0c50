// The main window frmUtil: the port box and its Open/Close buttons, the file choice, the
// Download button, the status box and the progress bar. It wires controls to commands and
// draws what the download thread reports; the work itself happens on that thread.
#pragma once

#include <QString>
#include <QWidget>

#include "link/clock.h"
#include "ports/port_opener.h"
#include "ui/download_worker.h"
#include "ui/prompts.h"

class QButtonGroup;
class QCloseEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace korvath::ui {

class PortComboBox;

/// What the window needs from outside; all must outlive it.
struct WindowServices {
    Prompts& prompts;
    ports::PortOpener& ports;
    /// The download's clock; null means the wall clock. Tests pass a virtual one.
    link::Clock* clock = nullptr;
};

class FrmUtil : public QWidget {
    Q_OBJECT

  public:
    /// The title before the version is appended (two blanks after the dash).
    static constexpr const char* kDesignTitle = "Velbrannic -  Application Downloader";

    explicit FrmUtil(WindowServices services, QWidget* parent = nullptr);
    ~FrmUtil() override;

    /// The button commands, as the buttons call them. Index 0 is Open, 1 is Close.
    void cmdOperClick(int index);
    void cmdSelectFileClick();
    void dwnloadButtonClick();

    /// From the first step of the Download command until the download has ended.
    [[nodiscard]] bool isBusy() const { return busy_; }
    /// The port state as the download thread last reported it.
    [[nodiscard]] bool portIsOpen() const { return PortIsOpen; }
    /// Full path of the file last confirmed in the dialog, also when it was then rejected.
    [[nodiscard]] const QString& dialogFileName() const { return dialogFileName_; }
    /// Full path of the accepted image that Download sends; empty when none is accepted.
    [[nodiscard]] const QString& imagePath() const { return imagePath_; }

  signals:
    /// The status box now shows `text` on `colour` (0xBBGGRR).
    void statusShown(const QString& text, quint32 colour);
    /// A download has ended and the window is idle again.
    void downloadEnded();
    /// The download thread reported the port state and the controls now show it.
    void portStateShown(bool open);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    void placeControls();
    void connectWorker();
    void FormLoad();

    void AperturaSeriale();
    void ChiusuraSeriale();
    bool OpenDialog();
    void applyDownloadRule();
    /// Label1, Open, Close and Download as PortIsOpen says.
    void showPortState();
    void onPortStateChanged(bool open);
    void onPortOpenFailed(const QString& reason);
    void refuseDownloadWithoutPort();

    void ShowStatus(const QString& text, quint32 colour);
    /// The reason behind the status shown, in the status box's tool tip.
    void explainStatus(const QString& reason);
    /// Runs the image check on the file just chosen and shows a refusal in the status box.
    void checkChosenImage();
    void showProgress(int done, int total);
    /// The bar's tool tip: what the phase counts, and during programming the records done of
    /// the image's total, the time taken and the time left.
    void showPhaseStep(int count, int step, int steps, double programmingMs);
    void setBusyPointer(bool busy);
    void showProgrammingCardMessage();
    void showExchangeError(const QString& text);
    void onDownloadFinished();

    Prompts& prompts_;
    ports::PortOpener& ports_;
    DownloadThread download_;

    QGroupBox* Frame6 = nullptr;
    QProgressBar* DwnldrBar = nullptr;
    QLineEdit* DwStatus = nullptr;
    QGroupBox* Frame3 = nullptr;
    QLineEdit* txtFileName = nullptr;
    QPushButton* cmdSelectFile = nullptr;
    QGroupBox* Frame1 = nullptr;
    QPushButton* DwnloadButton = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    PortComboBox* Apriti = nullptr;
    QPushButton* cmdOper[2] = {nullptr, nullptr};
    QButtonGroup* cmdOperGroup = nullptr;

    bool PortIsOpen = false;
    bool busy_ = false;
    bool busyPointer_ = false;
    QString dialogFileName_;
    QString imagePath_;
    /// The port text of the last Open command, for the log when it fails.
    QString openingPort_;
};

}  // namespace korvath::ui
