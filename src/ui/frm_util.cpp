#include "ui/frm_util.h"

#include <algorithm>
#include <filesystem>

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtDebug>

#include "download/progress_text.h"
#include "image/check.h"
#include "image/prescan.h"
#include "korvath/version.h"
#include "ui/ole_color.h"
#include "ui/port_combo_box.h"

namespace korvath::ui {

namespace {

// The design is laid out in twips; 15 twips make one pixel at 96 dpi.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthTwips = 6285;
constexpr int kClientHeightTwips = 2190;
// The design font (8 points at 96 dpi), in pixels so that the layout does not depend on dpi.
constexpr int kFontPixelSize = 11;

constexpr int px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

struct Twips {
    int left;
    int top;
    int width;
    int height;
};

QRect toPixels(const Twips& t) {
    return QRect(px(t.left), px(t.top), px(t.width), px(t.height));
}

const QString kComPortCheck = QStringLiteral("COM port check");

void setColour(QWidget* widget, QPalette::ColorRole role, std::uint32_t ole) {
    QPalette palette = widget->palette();
    palette.setColor(role, toQColor(ole));
    widget->setPalette(palette);
}

void makeBold(QWidget* widget) {
    QFont font = widget->font();
    font.setBold(true);
    widget->setFont(font);
}

}  // namespace

FrmUtil::FrmUtil(WindowServices services, QWidget* parent)
    : QWidget(parent),
      prompts_(services.prompts),
      ports_(services.ports),
      download_(services.ports, services.clock) {
    setObjectName(QStringLiteral("frmUtil"));
    buildControls();
    placeControls();
    connectWorker();
    FormLoad();
}

FrmUtil::~FrmUtil() {
    // Reports still queued for this window are of no use any more.
    download_.worker()->disconnect(this);
    if (busyPointer_) QApplication::restoreOverrideCursor();
}

void FrmUtil::buildControls() {
    QFont font = this->font();
    font.setPixelSize(kFontPixelSize);
    setFont(font);
    setAutoFillBackground(true);
    setColour(this, QPalette::Window, kBackColor);

    Frame6 = new QGroupBox(QStringLiteral("Status"), this);
    Frame6->setObjectName(QStringLiteral("Frame6"));
    DwnldrBar = new QProgressBar(Frame6);
    DwnldrBar->setObjectName(QStringLiteral("DwnldrBar"));
    DwnldrBar->setTextVisible(false);
    DwStatus = new QLineEdit(QStringLiteral("Idle"), Frame6);
    DwStatus->setObjectName(QStringLiteral("DwStatus"));
    DwStatus->setReadOnly(true);
    DwStatus->setAlignment(Qt::AlignCenter);
    makeBold(DwStatus);
    setColour(DwStatus, QPalette::Base, StatusColorNormal);

    Frame3 = new QGroupBox(QStringLiteral("Filename"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    txtFileName = new QLineEdit(Frame3);
    txtFileName->setObjectName(QStringLiteral("txtFileName"));
    txtFileName->setReadOnly(true);
    txtFileName->setAlignment(Qt::AlignCenter);
    makeBold(txtFileName);
    setColour(txtFileName, QPalette::Base, kBlack);
    setColour(txtFileName, QPalette::Text, kYellow);
    cmdSelectFile = new QPushButton(QStringLiteral("Open"), Frame3);
    cmdSelectFile->setObjectName(QStringLiteral("cmdSelectFile"));

    Frame1 = new QGroupBox(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    DwnloadButton = new QPushButton(QStringLiteral("Download"), Frame1);
    DwnloadButton->setObjectName(QStringLiteral("DwnloadButton"));
    makeBold(DwnloadButton);

    Frame2 = new QGroupBox(QStringLiteral("COM Control"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Label1 = new QLabel(QStringLiteral("38400,N,8"), Frame2);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    makeBold(Label1);
    setColour(Label1, QPalette::WindowText, kPortClosedColor);
    Label2 = new QLabel(QStringLiteral("COM"), Frame2);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    makeBold(Label2);
    Apriti = new PortComboBox(Frame2);
    Apriti->setObjectName(QStringLiteral("Apriti"));
    Apriti->setChoiceSource([this] { return ports_.listChoices(); });
    Apriti->setEditText(QStringLiteral("1"));
    Apriti->lineEdit()->setAlignment(Qt::AlignCenter);
    // The box is narrower than a device path: its tool tip always shows the whole text.
    Apriti->setToolTip(Apriti->currentText());
    connect(Apriti, &QComboBox::editTextChanged, Apriti, &QWidget::setToolTip);
    makeBold(Apriti);
    setColour(Apriti, QPalette::Base, kWhite);

    cmdOperGroup = new QButtonGroup(this);
    const char* const captions[2] = {"Open", "Close"};
    const char* const tips[2] = {"Open Selected Serial port", "Close opened serial port"};
    for (int i = 0; i < 2; ++i) {
        cmdOper[i] = new QPushButton(QString::fromLatin1(captions[i]), Frame2);
        cmdOper[i]->setObjectName(QStringLiteral("cmdOper_%1").arg(i));
        cmdOper[i]->setToolTip(QString::fromLatin1(tips[i]));
        cmdOperGroup->addButton(cmdOper[i], i);
    }
    cmdOper[1]->setEnabled(false);

    connect(cmdOperGroup, &QButtonGroup::idClicked, this, &FrmUtil::cmdOperClick);
    connect(cmdSelectFile, &QPushButton::clicked, this, &FrmUtil::cmdSelectFileClick);
    connect(DwnloadButton, &QPushButton::clicked, this, &FrmUtil::dwnloadButtonClick);

    setTabOrder(cmdSelectFile, txtFileName);
    setTabOrder(txtFileName, DwnloadButton);
    setTabOrder(DwnloadButton, cmdOper[0]);
    setTabOrder(cmdOper[0], cmdOper[1]);
    setTabOrder(cmdOper[1], DwStatus);
    setTabOrder(DwStatus, Apriti);
    cmdSelectFile->setFocus();
}

void FrmUtil::placeControls() {
    const struct {
        QWidget* widget;
        Twips design;
    } table[] = {
        {Frame6, {60, 60, 4425, 615}},
        // The status box takes room from the bar so that the longest status text fits in bold.
        {DwnldrBar, {120, 220, 1545, 285}},
        {DwStatus, {1725, 220, 2610, 285}},
        {Frame3, {60, 705, 4455, 735}},
        {txtFileName, {120, 240, 3030, 360}},
        {cmdSelectFile, {3270, 240, 1065, 375}},
        {Frame1, {60, 1440, 4455, 735}},
        {DwnloadButton, {120, 240, 4185, 375}},
        {Frame2, {4560, 60, 1695, 2115}},
        {Label1, {300, 230, 1095, 315}},
        // The port box is wider than designed, its label moved left to make room: the
        // drop-down arrow takes room and short port names ("sim:3", "ttyS0") must fit.
        {Label2, {120, 645, 495, 255}},
        {Apriti, {660, 600, 975, 285}},
        {cmdOper[0], {240, 1080, 1275, 405}},
        {cmdOper[1], {240, 1560, 1275, 405}},
    };
    for (const auto& entry : table) entry.widget->setGeometry(toPixels(entry.design));
    setFixedSize(px(kClientWidthTwips), px(kClientHeightTwips));
}

void FrmUtil::connectWorker() {
    DownloadWorker* worker = download_.worker();
    connect(worker, &DownloadWorker::statusShown, this, &FrmUtil::ShowStatus, Qt::QueuedConnection);
    connect(worker, &DownloadWorker::statusExplained, this, &FrmUtil::explainStatus,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::progressChanged, this, &FrmUtil::showProgress,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::phaseStepChanged, this, &FrmUtil::showPhaseStep,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::busyPointerChanged, this, &FrmUtil::setBusyPointer,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::programmingCardRequested, this,
            &FrmUtil::showProgrammingCardMessage, Qt::QueuedConnection);
    connect(worker, &DownloadWorker::errorReported, this, &FrmUtil::showExchangeError,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::downloadFinished, this, &FrmUtil::onDownloadFinished,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::portOpenFailed, this, &FrmUtil::onPortOpenFailed,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::downloadRefused, this, &FrmUtil::refuseDownloadWithoutPort,
            Qt::QueuedConnection);
    connect(worker, &DownloadWorker::portStateChanged, this, &FrmUtil::onPortStateChanged,
            Qt::QueuedConnection);
}

void FrmUtil::FormLoad() {
    setWindowTitle(QStringLiteral("%1   %2.%3.%4")
                       .arg(QLatin1String(kDesignTitle))
                       .arg(kVersionMajor)
                       .arg(kVersionMinor)
                       .arg(kVersionRevision));
    showProgress(0, 10);
    DwnloadButton->setEnabled(false);
    busy_ = false;
    PortIsOpen = false;
}

void FrmUtil::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        return;
    }
    event->accept();
}

void FrmUtil::AperturaSeriale() {
    if (PortIsOpen) {
        prompts_.message(this, MessageIcon::Information, kComPortCheck,
                         QStringLiteral("Port already open!"));
        return;
    }
    openingPort_ = Apriti->currentText();
    download_.openPort(openingPort_);
}

void FrmUtil::ChiusuraSeriale() {
    download_.closePort();
}

void FrmUtil::cmdOperClick(int index) {
    // Nobody closes the port under a running download or opens another one meanwhile. The
    // controls change when the download thread reports the port state.
    if (busy_) return;
    if (index == 0) {
        AperturaSeriale();
    } else {
        ChiusuraSeriale();
    }
}

void FrmUtil::onPortOpenFailed(const QString& reason) {
    // A beep, the red label, and the reason in the status box and the label's tool tip.
    qInfo().noquote() << "Port" << openingPort_ << "did not open:" << reason;
    ShowStatus(reason, StatusColorError);
    Label1->setToolTip(reason);
    prompts_.beep();
}

void FrmUtil::onPortStateChanged(bool open) {
    if (open) Label1->setToolTip(QString());
    PortIsOpen = open;
    showPortState();
    emit portStateShown(open);
}

void FrmUtil::showPortState() {
    setColour(Label1, QPalette::WindowText, PortIsOpen ? kPortOpenColor : kPortClosedColor);
    cmdOper[0]->setEnabled(!PortIsOpen);
    cmdOper[1]->setEnabled(PortIsOpen);
    applyDownloadRule();
}

bool FrmUtil::OpenDialog() {
    std::optional<QString> chosen = prompts_.chooseImageFile(this, dialogFileName_);
    if (!chosen) return false;
    dialogFileName_ = *chosen;
    return true;
}

void FrmUtil::cmdSelectFileClick() {
    if (busy_) return;
    ShowStatus(QStringLiteral("Idle"), StatusColorNormal);
    for (;;) {
        DwnloadButton->setEnabled(false);
        if (!OpenDialog()) break;
        if (image::HasImageHeader(
                std::filesystem::path(QFile::encodeName(dialogFileName_).toStdString()))) {
            // The download gets the full path; the box shows the name only.
            imagePath_ = dialogFileName_;
            txtFileName->setText(QFileInfo(dialogFileName_).fileName());
            checkChosenImage();
            break;
        }
        imagePath_.clear();
        txtFileName->clear();
        prompts_.message(this, MessageIcon::Warning, QStringLiteral("File format check"),
                         QStringLiteral("Wrong file format"));
    }
    applyDownloadRule();
}

void FrmUtil::checkChosenImage() {
    // The same rules as the download's pre-scan for any model, so that a refused file shows at
    // once instead of after connecting; the Download button keeps its own rule.
    const image::ImageRead read =
        image::ReadImage(std::filesystem::path(QFile::encodeName(imagePath_).toStdString()));
    if (!read.image) {
        ShowStatus(QString::fromStdString(read.message), StatusColorError);
        return;
    }
    const image::ImageCheck check = image::CheckImage(*read.image);
    if (check.accepted) return;
    const image::Refusal& refusal = check.refusals.front();
    ShowStatus(QString::fromStdString(refusal.status), StatusColorError);
    explainStatus(QString::fromStdString(refusal.detail()));
}

void FrmUtil::applyDownloadRule() {
    DwnloadButton->setEnabled(dialogFileName_.size() > 4 && PortIsOpen);
}

void FrmUtil::dwnloadButtonClick() {
    if (busy_) return;
    // Busy from the first step: a second click, a close request or a port command taken from
    // here on must not reach the running download.
    busy_ = true;
    if (!txtFileName->text().isEmpty() && PortIsOpen) {
        download_.startDownload(imagePath_);
        return;
    }
    busy_ = false;
    if (!PortIsOpen) refuseDownloadWithoutPort();
}

void FrmUtil::refuseDownloadWithoutPort() {
    busy_ = false;
    prompts_.message(this, MessageIcon::Warning, kComPortCheck,
                     QStringLiteral("No serial port defined"));
}

void FrmUtil::onDownloadFinished() {
    setBusyPointer(false);
    busy_ = false;
    prompts_.beep();
    emit downloadEnded();
}

void FrmUtil::ShowStatus(const QString& text, quint32 colour) {
    setColour(DwStatus, QPalette::Base, colour);
    DwStatus->setText(text);
    DwStatus->setCursorPosition(0);
    // A long message (a file error) does not fit the box; the tool tip shows all of it.
    const bool fits = DwStatus->fontMetrics().horizontalAdvance(text) < DwStatus->width() - 8;
    DwStatus->setToolTip(fits ? QString() : text);
    emit statusShown(text, colour);
}

void FrmUtil::explainStatus(const QString& reason) {
    if (!reason.isEmpty()) DwStatus->setToolTip(reason);
}

void FrmUtil::showProgress(int done, int total) {
    // A bar without steps (a tiny image) stays empty rather than turning into a busy
    // indicator; a negative count shows as none.
    if (total <= 0) {
        DwnldrBar->setRange(0, 1);
        DwnldrBar->setValue(0);
        return;
    }
    DwnldrBar->setRange(0, total);
    DwnldrBar->setValue(std::clamp(done, 0, total));
}

void FrmUtil::showPhaseStep(int count, int step, int steps, double programmingMs) {
    const auto phase = static_cast<download::Count>(count);
    QString tip = QString::fromStdString(download::phaseStepText(phase, step, steps));
    if (phase == download::Count::Record) {
        const double elapsed = programmingMs / 1000;
        tip = QStringLiteral("%1 of %2 records, %3 elapsed")
                  .arg(step)
                  .arg(steps)
                  .arg(QString::fromStdString(download::formatDuration(elapsed)));
        if (const auto left = download::secondsLeft(step, steps, elapsed))
            tip += QStringLiteral(", %1 left")
                       .arg(QString::fromStdString(download::formatDuration(*left)));
    }
    DwnldrBar->setToolTip(tip);
}

void FrmUtil::setBusyPointer(bool busy) {
    if (busy == busyPointer_) return;
    busyPointer_ = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void FrmUtil::showProgrammingCardMessage() {
    prompts_.message(
        this, MessageIcon::Information, QStringLiteral("Programming Card check"),
        QStringLiteral("Please remove Programming Card first,\nthen close this window."));
    download_.worker()->answer();
}

void FrmUtil::showExchangeError(const QString& text) {
    prompts_.message(this, MessageIcon::None, QApplication::applicationDisplayName(), text);
    download_.worker()->answer();
}

}  // namespace korvath::ui
