#include "ui/frm_util.h"

#include <QApplication>
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

using window::Control;

// The controls' object names, by which tests and scripts find them.
constexpr struct {
    Control control;
    const char* name;
} kObjectNames[] = {
    {Control::PortBox, "Apriti"},         {Control::OpenPort, "cmdOper_0"},
    {Control::ClosePort, "cmdOper_1"},    {Control::ChooseFile, "cmdSelectFile"},
    {Control::Download, "DwnloadButton"}, {Control::StatusFrame, "Frame6"},
    {Control::Bar, "DwnldrBar"},          {Control::Status, "DwStatus"},
    {Control::FileFrame, "Frame3"},       {Control::FileName, "txtFileName"},
    {Control::DownloadFrame, "Frame1"},   {Control::PortFrame, "Frame2"},
    {Control::LineSettings, "Label1"},    {Control::PortLabel, "Label2"},
    {Control::Details, "details"},
};

QString objectNameOf(Control control) {
    for (const auto& entry : kObjectNames) {
        if (entry.control == control) return QLatin1String(entry.name);
    }
    return {};
}

QString captionOf(Control control) {
    return QString::fromUtf8(window::designOf(control).caption);
}

QRect toQRect(const window::Rect& r) {
    return QRect(r.left, r.top, r.width, r.height);
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
    portBox_->setChoiceSource([&ports = services.ports] { return ports.listChoices(); });
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
    if (!guard_.mayPoll()) return;
    // One report at a time, each drawn before the next: the status box shows every text.
    while (std::optional<window::Effects> effects = model_->poll()) follow(std::move(*effects));
}

void FrmUtil::buildControls() {
    QFont font = this->font();
    font.setPixelSize(window::kFontPixelsAt96);
    setFont(font);
    setAutoFillBackground(true);
    setColour(this, QPalette::Window, window::kBackColour);
    setAcceptDrops(true);

    statusFrame_ = new QGroupBox(captionOf(Control::StatusFrame), this);
    styleControl(statusFrame_, Control::StatusFrame);
    bar_ = new QProgressBar(statusFrame_);
    styleControl(bar_, Control::Bar);
    bar_->setTextVisible(false);
    status_ = new ElidingLineEdit(Qt::ElideRight, statusFrame_);
    status_->setText(captionOf(Control::Status));
    styleControl(status_, Control::Status);
    status_->setReadOnly(true);
    status_->setAlignment(Qt::AlignCenter);
    status_->setFocusPolicy(Qt::ClickFocus);

    fileFrame_ = new QGroupBox(captionOf(Control::FileFrame), this);
    styleControl(fileFrame_, Control::FileFrame);
    fileName_ = new ElidingLineEdit(Qt::ElideMiddle, fileFrame_);
    styleControl(fileName_, Control::FileName);
    fileName_->setReadOnly(true);
    fileName_->setAlignment(Qt::AlignCenter);
    fileName_->setFocusPolicy(Qt::ClickFocus);
    chooseFileButton_ = new QPushButton(captionOf(Control::ChooseFile), fileFrame_);
    styleControl(chooseFileButton_, Control::ChooseFile);

    downloadFrame_ = new QGroupBox(captionOf(Control::DownloadFrame), this);
    styleControl(downloadFrame_, Control::DownloadFrame);
    downloadButton_ = new QPushButton(captionOf(Control::Download), downloadFrame_);
    styleControl(downloadButton_, Control::Download);

    portFrame_ = new QGroupBox(captionOf(Control::PortFrame), this);
    styleControl(portFrame_, Control::PortFrame);
    lineSettings_ = new QLabel(captionOf(Control::LineSettings), portFrame_);
    styleControl(lineSettings_, Control::LineSettings);
    lineSettings_->setAlignment(Qt::AlignCenter);
    portLabel_ = new QLabel(captionOf(Control::PortLabel), portFrame_);
    styleControl(portLabel_, Control::PortLabel);
    portLabel_->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    portBox_ = new PortComboBox(portFrame_);
    styleControl(portBox_, Control::PortBox);
    portLabel_->setBuddy(portBox_);
    portBox_->lineEdit()->setAlignment(Qt::AlignCenter);
    openButton_ = new QPushButton(captionOf(Control::OpenPort), portFrame_);
    styleControl(openButton_, Control::OpenPort);
    closeButton_ = new QPushButton(captionOf(Control::ClosePort), portFrame_);
    styleControl(closeButton_, Control::ClosePort);

    details_ = new QLabel(this);
    styleControl(details_, Control::Details);
    details_->setWordWrap(true);
    details_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    details_->setTextFormat(Qt::PlainText);
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    details_->setFocusPolicy(Qt::ClickFocus);
    details_->hide();

    // Enter presses the button that has the focus, as in a dialog.
    for (QPushButton* button : {openButton_, closeButton_, chooseFileButton_, downloadButton_})
        button->setAutoDefault(true);

    connect(openButton_, &QPushButton::clicked, this, [this] { cmdOperClick(0); });
    connect(closeButton_, &QPushButton::clicked, this, [this] { cmdOperClick(1); });
    connect(chooseFileButton_, &QPushButton::clicked, this, &FrmUtil::cmdSelectFileClick);
    connect(downloadButton_, &QPushButton::clicked, this, &FrmUtil::dwnloadButtonClick);
    connect(portBox_, &QComboBox::editTextChanged, this, [this](const QString& text) {
        // The box is narrower than a device path: its tool tip always shows the whole text.
        portBox_->setToolTip(text);
        model_->setPortText(text.toStdString());
    });
    connect(portBox_->lineEdit(), &QLineEdit::returnPressed, this, [this] { cmdOperClick(0); });

    setTabOrder(portBox_, openButton_);
    setTabOrder(openButton_, closeButton_);
    setTabOrder(closeButton_, chooseFileButton_);
    setTabOrder(chooseFileButton_, downloadButton_);
    portBox_->setFocus();
}

void FrmUtil::styleControl(QWidget* widget, Control control) {
    const window::ControlDesign& design = window::designOf(control);
    controls_[static_cast<int>(control)] = widget;
    widget->setObjectName(objectNameOf(control));
    if (design.bold) makeBold(widget);
    widget->setToolTip(QString::fromUtf8(design.tip));
    if (design.background) setColour(widget, QPalette::Base, *design.background);
    // A label's text is drawn in its window text colour, an edit field's in its text colour.
    const QPalette::ColorRole textRole =
        qobject_cast<QLabel*>(widget) != nullptr ? QPalette::WindowText : QPalette::Text;
    if (design.text) setColour(widget, textRole, *design.text);
}

void FrmUtil::placeControls() {
    for (const window::ControlDesign& row : window::design()) {
        if (row.control == Control::Details) continue;  // placed when it has something to say
        controls_[static_cast<int>(row.control)]->setGeometry(
            toQRect(layout_.inFrame(row.control)));
    }
    setFixedSize(layout_.clientWidth, layout_.clientHeight);
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
        this,
        [this] {
            if (guard_.mayAskToClose()) follow(model_->closeRequested());
        },
        Qt::QueuedConnection);
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
    const window::EffectsGuard::Showing showing(guard_);
    for (;;) {
        draw();
        if (effects.statusShown)
            emit statusShown(status_->text(), window::statusColour(model_->state().severity));
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

    if (portBox_->currentText() != fromUtf8(state.portText))
        portBox_->setEditText(fromUtf8(state.portText));
    setColour(lineSettings_, QPalette::WindowText, window::portColour(state.portOpen));
    lineSettings_->setToolTip(fromUtf8(state.portError));
    portBox_->setEnabled(state.enabled.portBox);
    openButton_->setEnabled(state.enabled.openPort);
    closeButton_->setEnabled(state.enabled.closePort);
    chooseFileButton_->setEnabled(state.enabled.chooseFile);
    // One button, one place: Download while idle, Stop while a download runs. Its key stays
    // Alt+D either way, so that the hand that started a download can stop it.
    const QString caption = state.busy ? QStringLiteral("Stop") : captionOf(Control::Download);
    if (downloadButton_->text() != caption) {
        downloadButton_->setText(caption);
        if (state.busy) downloadButton_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_D));
    }
    downloadButton_->setEnabled(state.busy ? state.enabled.stop : state.enabled.download);

    fileName_->setText(fromUtf8(state.fileName));
    fileName_->setToolTip(fromUtf8(state.fileTip));

    const QString status = fromUtf8(state.status);
    setColour(status_, QPalette::Base, window::statusColour(state.severity));
    if (status_->text() != status) {
        status_->setText(status);
        status_->setCursorPosition(0);
    }
    // A long message shows elided; the tool tip holds all of it.
    status_->setToolTip(status_->elided() ? status : QString());

    bar_->setRange(0, state.barMax);
    bar_->setValue(state.barValue);
    bar_->setToolTip(fromUtf8(state.barTip));

    setBusyPointer(state.busyPointer);

    // The details line shows only while there is something to say; the window grows by it.
    const QString details = fromUtf8(state.details);
    if (details != details_->text() || details_->isHidden() != details.isEmpty()) {
        details_->setText(details);
        QRect place = toQRect(layout_[Control::Details]);
        place.setHeight(details.isEmpty() ? 0 : details_->heightForWidth(place.width()));
        details_->setGeometry(place);
        details_->setVisible(!details.isEmpty());
        setFixedSize(layout_.clientWidth,
                     window::clientHeightWithDetails(layout_, place.height(), kDesignDpi));
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
