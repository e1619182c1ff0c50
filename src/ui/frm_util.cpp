#include "ui/frm_util.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

#include "korvath/version.h"
#include "platform/sha256.h"
#include "ui/eliding_line_edit.h"
#include "ui/ole_color.h"
#include "ui/port_combo_box.h"
#include "ui/qt_services.h"

namespace korvath::ui {

namespace {

// The design is laid out in twips; 15 twips make one pixel at 96 dpi.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthTwips = 6285;
constexpr int kClientHeightTwips = 2190;
// The design font (8 points at 96 dpi), in pixels so that the layout does not depend on dpi.
constexpr int kFontPixelSize = 11;
// The details line below the controls: its margins in pixels.
constexpr int kDetailsMargin = 4;

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

void setColour(QWidget* widget, QPalette::ColorRole role, std::uint32_t ole) {
    // The window is drawn after every report of a download: unchanged colours cost nothing.
    if (widget->palette().color(role) == toQColor(ole)) return;
    QPalette palette = widget->palette();
    palette.setColor(role, toQColor(ole));
    widget->setPalette(palette);
}

void makeBold(QWidget* widget) {
    QFont font = widget->font();
    font.setBold(true);
    widget->setFont(font);
}

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString fromPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

/// The file a name from Qt stands for. Qt holds names as text, which cannot carry bytes that
/// are not UTF-8; such a name is found again among the folder's entries by how Qt shows it.
std::filesystem::path toPath(const QString& path) {
    const std::filesystem::path encoded(QFile::encodeName(path).toStdString());
    std::error_code error;
    if (std::filesystem::exists(encoded, error) || !encoded.has_parent_path()) return encoded;
    const QString name = fromPath(encoded.filename());
    for (std::filesystem::directory_iterator entry(encoded.parent_path(), error), end;
         !error && entry != end; entry.increment(error)) {
        if (fromPath(entry->path().filename()) == name) return entry->path();
    }
    return encoded;
}

MessageIcon iconOf(window::Icon icon) {
    switch (icon) {
        case window::Icon::Information:
            return MessageIcon::Information;
        case window::Icon::Warning:
            return MessageIcon::Warning;
        case window::Icon::None:
            break;
    }
    return MessageIcon::None;
}

OleColor colourOf(window::Severity severity) {
    return severity == window::Severity::Error ? StatusColorError : StatusColorNormal;
}

/// The one local file that a drag carries; nothing for anything else.
std::optional<QString> droppedFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) return std::nullopt;
    const QUrl url = data->urls().front();
    if (!url.isLocalFile()) return std::nullopt;
    return url.toLocalFile();
}

}  // namespace

FrmUtil::FrmUtil(WindowServices services, QWidget* parent)
    : QWidget(parent), prompts_(services.prompts) {
    setObjectName(QStringLiteral("frmUtil"));
    window::SettingsStore* settings = services.settings;
    if (settings == nullptr) {
        ownSettings_ = std::make_unique<window::MemorySettings>();
        settings = ownSettings_.get();
    }
    model_ = std::make_unique<window::WindowModel>(
        window::Services{services.ports, *settings, *this, services.clock, platform::sha256,
                         QApplication::applicationDisplayName().toStdString()});
    buildControls();
    Apriti->setChoiceSource([&ports = services.ports] { return ports.listChoices(); });
    placeControls();
    setTitle();

    std::optional<std::filesystem::path> image;
    if (!services.image.empty()) image = services.image;
    const window::Effects effects = model_->start(image);
    draw();
    // A box about the file named on the command line comes up over the window, once shown.
    if (!effects.empty())
        QMetaObject::invokeMethod(
            this, [this, effects] { follow(effects); }, Qt::QueuedConnection);
}

FrmUtil::~FrmUtil() {
    // The model's thread may still wake this window until it has been joined.
    model_.reset();
    if (busyPointer_) QApplication::restoreOverrideCursor();
}

void FrmUtil::wake() {
    if (wakePending_.exchange(true)) return;
    QMetaObject::invokeMethod(this, &FrmUtil::pollModel, Qt::QueuedConnection);
}

void FrmUtil::pollModel() {
    wakePending_ = false;
    // One report at a time, each drawn before the next: the status box shows every text.
    while (std::optional<window::Effects> effects = model_->poll()) follow(std::move(*effects));
}

void FrmUtil::buildControls() {
    QFont font = this->font();
    font.setPixelSize(kFontPixelSize);
    setFont(font);
    setAutoFillBackground(true);
    setColour(this, QPalette::Window, kBackColor);
    setAcceptDrops(true);

    Frame6 = new QGroupBox(QStringLiteral("Status"), this);
    Frame6->setObjectName(QStringLiteral("Frame6"));
    DwnldrBar = new QProgressBar(Frame6);
    DwnldrBar->setObjectName(QStringLiteral("DwnldrBar"));
    DwnldrBar->setTextVisible(false);
    DwStatus = new ElidingLineEdit(Qt::ElideRight, Frame6);
    DwStatus->setText(QStringLiteral("Idle"));
    DwStatus->setObjectName(QStringLiteral("DwStatus"));
    DwStatus->setReadOnly(true);
    DwStatus->setAlignment(Qt::AlignCenter);
    DwStatus->setFocusPolicy(Qt::ClickFocus);
    makeBold(DwStatus);
    setColour(DwStatus, QPalette::Base, StatusColorNormal);

    Frame3 = new QGroupBox(QStringLiteral("Filename"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    txtFileName = new ElidingLineEdit(Qt::ElideMiddle, Frame3);
    txtFileName->setObjectName(QStringLiteral("txtFileName"));
    txtFileName->setReadOnly(true);
    txtFileName->setAlignment(Qt::AlignCenter);
    txtFileName->setFocusPolicy(Qt::ClickFocus);
    makeBold(txtFileName);
    setColour(txtFileName, QPalette::Base, kBlack);
    setColour(txtFileName, QPalette::Text, kYellow);
    cmdSelectFile = new QPushButton(QStringLiteral("O&pen"), Frame3);
    cmdSelectFile->setObjectName(QStringLiteral("cmdSelectFile"));

    Frame1 = new QGroupBox(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    DwnloadButton = new QPushButton(QStringLiteral("&Download"), Frame1);
    DwnloadButton->setObjectName(QStringLiteral("DwnloadButton"));
    makeBold(DwnloadButton);

    Frame2 = new QGroupBox(QStringLiteral("COM Control"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Label1 = new QLabel(QStringLiteral("38400,N,8"), Frame2);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    makeBold(Label1);
    setColour(Label1, QPalette::WindowText, kPortClosedColor);
    Label2 = new QLabel(QStringLiteral("CO&M"), Frame2);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    makeBold(Label2);
    Apriti = new PortComboBox(Frame2);
    Apriti->setObjectName(QStringLiteral("Apriti"));
    Label2->setBuddy(Apriti);
    Apriti->lineEdit()->setAlignment(Qt::AlignCenter);
    makeBold(Apriti);
    setColour(Apriti, QPalette::Base, kWhite);

    cmdOperGroup = new QButtonGroup(this);
    const char* const captions[2] = {"&Open", "&Close"};
    const char* const tips[2] = {"Open Selected Serial port", "Close opened serial port"};
    for (int i = 0; i < 2; ++i) {
        cmdOper[i] = new QPushButton(QString::fromLatin1(captions[i]), Frame2);
        cmdOper[i]->setObjectName(QStringLiteral("cmdOper_%1").arg(i));
        cmdOper[i]->setToolTip(QString::fromLatin1(tips[i]));
        cmdOperGroup->addButton(cmdOper[i], i);
    }

    details_ = new QLabel(this);
    details_->setObjectName(QStringLiteral("details"));
    details_->setWordWrap(true);
    details_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    details_->setTextFormat(Qt::PlainText);
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    details_->setFocusPolicy(Qt::ClickFocus);
    details_->hide();

    // Enter presses the button that has the focus, as in a dialog.
    for (QPushButton* button : {cmdOper[0], cmdOper[1], cmdSelectFile, DwnloadButton})
        button->setAutoDefault(true);

    connect(cmdOperGroup, &QButtonGroup::idClicked, this, &FrmUtil::cmdOperClick);
    connect(cmdSelectFile, &QPushButton::clicked, this, &FrmUtil::cmdSelectFileClick);
    connect(DwnloadButton, &QPushButton::clicked, this, &FrmUtil::dwnloadButtonClick);
    connect(Apriti, &QComboBox::editTextChanged, this, [this](const QString& text) {
        // The box is narrower than a device path: its tool tip always shows the whole text.
        Apriti->setToolTip(text);
        model_->setPortText(text.toStdString());
    });
    connect(Apriti->lineEdit(), &QLineEdit::returnPressed, this, [this] { cmdOperClick(0); });

    setTabOrder(Apriti, cmdOper[0]);
    setTabOrder(cmdOper[0], cmdOper[1]);
    setTabOrder(cmdOper[1], cmdSelectFile);
    setTabOrder(cmdSelectFile, DwnloadButton);
    Apriti->setFocus();
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
        {Label1, {300, 195, 1095, 225}},
        // The port box spans the frame under its label: the drop-down arrow takes room and
        // the end of a device path ("…ttyUSB0", "…pts/12") must fit.
        {Label2, {120, 435, 495, 210}},
        {Apriti, {120, 660, 1455, 285}},
        {cmdOper[0], {240, 1080, 1275, 405}},
        {cmdOper[1], {240, 1560, 1275, 405}},
    };
    for (const auto& entry : table) entry.widget->setGeometry(toPixels(entry.design));
    setFixedSize(px(kClientWidthTwips), px(kClientHeightTwips));
}

void FrmUtil::setTitle() {
    setWindowTitle(QStringLiteral("%1   %2.%3.%4")
                       .arg(QLatin1String(kDesignTitle))
                       .arg(kVersionMajor)
                       .arg(kVersionMinor)
                       .arg(kVersionRevision));
}

QString FrmUtil::imagePath() const {
    return fromPath(model_->state().image);
}

void FrmUtil::cmdOperClick(int index) {
    follow(index == 0 ? model_->openPort() : model_->closePort());
}

void FrmUtil::cmdSelectFileClick() {
    follow(model_->chooseFile());
}

void FrmUtil::dwnloadButtonClick() {
    // The button is "Stop" while a download runs.
    follow(model_->state().busy ? model_->stop() : model_->download());
}

void FrmUtil::closeEvent(QCloseEvent* event) {
    if (model_->mayClose()) {
        event->accept();
        return;
    }
    event->ignore();
    // The question comes up once the close request has been turned down.
    QMetaObject::invokeMethod(
        this, [this] { follow(model_->closeRequested()); }, Qt::QueuedConnection);
}

void FrmUtil::dragEnterEvent(QDragEnterEvent* event) {
    if (model_->state().enabled.chooseFile && droppedFile(event->mimeData()))
        event->acceptProposedAction();
}

void FrmUtil::dropEvent(QDropEvent* event) {
    const std::optional<QString> file = droppedFile(event->mimeData());
    if (!file) return;
    event->acceptProposedAction();
    follow(model_->dropFile(toPath(*file)));
}

void FrmUtil::follow(window::Effects effects) {
    for (;;) {
        draw();
        if (effects.statusShown)
            emit statusShown(DwStatus->text(), colourOf(model_->state().severity));
        if (effects.portReported) emit portStateShown(model_->state().portOpen);
        showEffects(effects);
        if (drawnBusy_ && !model_->state().busy) emit downloadEnded();
        drawnBusy_ = model_->state().busy;
        if (effects.close) {
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
            return;
        }
        if (effects.closeQuestion) {
            const bool stopIt = prompts_.askToStop(this, fromUtf8(effects.closeQuestion->title),
                                                   fromUtf8(effects.closeQuestion->text));
            effects = model_->closeAnswered(stopIt);
            continue;
        }
        if (!effects.dialogAt) return;
        const std::optional<QString> chosen =
            prompts_.chooseImageFile(this, fromPath(*effects.dialogAt));
        std::optional<std::filesystem::path> path;
        if (chosen) {
            dialogFileName_ = *chosen;
            path = toPath(*chosen);
        }
        effects = model_->fileChosen(path);
    }
}

void FrmUtil::showEffects(const window::Effects& effects) {
    for (const window::Message& message : effects.messages)
        prompts_.message(this, iconOf(message.icon), fromUtf8(message.title),
                         fromUtf8(message.text));
    if (effects.beep) prompts_.beep();
    if (effects.awaitsAnswer) model_->answer();
}

void FrmUtil::draw() {
    const window::State& state = model_->state();

    if (Apriti->currentText() != fromUtf8(state.portText))
        Apriti->setEditText(fromUtf8(state.portText));
    setColour(Label1, QPalette::WindowText, state.portOpen ? kPortOpenColor : kPortClosedColor);
    Label1->setToolTip(fromUtf8(state.portError));
    Apriti->setEnabled(state.enabled.portBox);
    cmdOper[0]->setEnabled(state.enabled.openPort);
    cmdOper[1]->setEnabled(state.enabled.closePort);
    cmdSelectFile->setEnabled(state.enabled.chooseFile);
    // One button, one place: Download while idle, Stop while a download runs. Its key stays
    // Alt+D either way, so that the hand that started a download can stop it.
    const QString caption = state.busy ? QStringLiteral("Stop") : QStringLiteral("&Download");
    if (DwnloadButton->text() != caption) {
        DwnloadButton->setText(caption);
        if (state.busy) DwnloadButton->setShortcut(QKeySequence(Qt::ALT | Qt::Key_D));
    }
    DwnloadButton->setEnabled(state.busy ? state.enabled.stop : state.enabled.download);

    txtFileName->setText(fromUtf8(state.fileName));
    txtFileName->setToolTip(fromUtf8(state.fileTip));

    const QString status = fromUtf8(state.status);
    setColour(DwStatus, QPalette::Base, colourOf(state.severity));
    if (DwStatus->text() != status) {
        DwStatus->setText(status);
        DwStatus->setCursorPosition(0);
    }
    // A long message shows elided; the tool tip holds all of it.
    DwStatus->setToolTip(DwStatus->elided() ? status : QString());

    DwnldrBar->setRange(0, state.barMax);
    DwnldrBar->setValue(state.barValue);
    DwnldrBar->setToolTip(fromUtf8(state.barTip));

    setBusyPointer(state.busyPointer);

    // The details line shows only while there is something to say; the window grows by it.
    const QString details = fromUtf8(state.details);
    if (details != details_->text() || details_->isHidden() != details.isEmpty()) {
        details_->setText(details);
        const int width = px(kClientWidthTwips) - 2 * kDetailsMargin;
        const int height = details.isEmpty() ? 0 : details_->heightForWidth(width);
        details_->setGeometry(kDetailsMargin, px(kClientHeightTwips), width, height);
        details_->setVisible(!details.isEmpty());
        setFixedSize(px(kClientWidthTwips),
                     px(kClientHeightTwips) + (details.isEmpty() ? 0 : height + kDetailsMargin));
    }
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

}  // namespace korvath::ui
