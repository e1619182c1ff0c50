// The window as it starts: title, controls with their captions, looks and places, focus order,
// the port drop-down, and the real message box and file dialog behind the prompts interface.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyleOption>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "image/image_files.h"
#include "korvath/version.h"
#include "ui/eliding_line_edit.h"
#include "ui/frm_util.h"
#include "ui/ole_color.h"
#include "ui/prompts.h"
#include "ui_fakes.h"

using korvath::ui::FrmUtil;
using korvath::ui::MessageIcon;
using korvath::ui::toQColor;

namespace {

template <typename T>
T* child(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr) qFatal("no %s named %s", T::staticMetaObject.className(), name);
    return widget;
}

QColor colourOf(QWidget* widget, QPalette::ColorRole role) {
    return widget->palette().color(QPalette::Active, role);
}

/// Room for text inside a line edit, as the style lays it out.
int lineEditTextWidth(QLineEdit* edit) {
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    const QRect contents =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
    const QMargins margins = edit->textMargins();
    constexpr int kLineEditHorizontalMargin = 2;  // QLineEdit's own inner margin on each side
    return contents.width() - margins.left() - margins.right() - 2 * kLineEditHorizontalMargin;
}

}  // namespace

class WindowLayoutTest : public QObject {
    Q_OBJECT

  private slots:
    // QSettings and the file dialogs then write under ~/.qttest, never the user's own files.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        window_ = std::make_unique<FrmUtil>(korvath::ui::WindowServices{prompts_, ports_});
    }
    void cleanup() { window_.reset(); }

    void titleCarriesTheVersion() {
        const QString expected = QStringLiteral("Velbrannic -  Application Downloader   %1.%2.%3")
                                     .arg(korvath::kVersionMajor)
                                     .arg(korvath::kVersionMinor)
                                     .arg(korvath::kVersionRevision);
        QCOMPARE(window_->windowTitle(), expected);
    }

    void windowHasFixedClientAreaAndGreyBack() {
        QCOMPARE(window_->minimumSize(), QSize(419, 146));
        QCOMPARE(window_->maximumSize(), QSize(419, 146));
        QCOMPARE(colourOf(window_.get(), QPalette::Window), QColor(0xE0, 0xE0, 0xE0));
    }

    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("toolTip");
        // Twips / 15, except where a text needs room: the status box (taken from the bar), and
        // the port box under its label, across the frame (the drop-down arrow takes room, the
        // end of a device path must fit).
        auto row = [](const char* name, const char* container, const char* caption, bool bold,
                      QRect geometry, const char* tip = "") {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(container)
                                << QString::fromLatin1(caption) << bold << geometry
                                << QString::fromLatin1(tip);
        };
        row("Frame6", "frmUtil", "Status", false, {4, 4, 295, 41});
        row("DwnldrBar", "Frame6", "", false, {8, 15, 103, 19});
        row("DwStatus", "Frame6", "Idle", true, {115, 15, 174, 19});
        row("Frame3", "frmUtil", "Filename", false, {4, 47, 297, 49});
        row("txtFileName", "Frame3", "", true, {8, 16, 202, 24});
        row("cmdSelectFile", "Frame3", "Open", false, {218, 16, 71, 25});
        row("Frame1", "frmUtil", "", false, {4, 96, 297, 49});
        row("DwnloadButton", "Frame1", "Download", true, {8, 16, 279, 25});
        row("Frame2", "frmUtil", "COM Control", false, {304, 4, 113, 141});
        row("Label1", "Frame2", "38400,N,8", true, {20, 13, 73, 15});
        row("Label2", "Frame2", "COM", true, {8, 29, 33, 14});
        row("Apriti", "Frame2", "1", true, {8, 44, 97, 19}, "1");  // the whole port text
        row("cmdOper_0", "Frame2", "Open", false, {16, 72, 85, 27}, "Open Selected Serial port");
        row("cmdOper_1", "Frame2", "Close", false, {16, 104, 85, 27}, "Close opened serial port");
    }

    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, container);
        QFETCH(QString, caption);
        QFETCH(bool, bold);
        QFETCH(QRect, geometry);
        QFETCH(QString, toolTip);

        QWidget* widget = window_->findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        QCOMPARE(widget->parentWidget()->objectName(), container);
        QCOMPARE(widget->font().bold(), bold);
        QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(widget->toolTip(), toolTip);

        QString text;
        if (auto* box = qobject_cast<QGroupBox*>(widget)) text = box->title();
        if (auto* button = qobject_cast<QPushButton*>(widget)) text = button->text();
        if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) text = edit->text();
        if (auto* combo = qobject_cast<QComboBox*>(widget)) text = combo->currentText();
        QCOMPARE(text.remove(QLatin1Char('&')), caption);
    }

    void startState() {
        auto* bar = child<QProgressBar>(*window_, "DwnldrBar");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 10);
        QCOMPARE(bar->value(), 0);
        auto* status = child<QLineEdit>(*window_, "DwStatus");
        QCOMPARE(colourOf(status, QPalette::Base), toQColor(korvath::ui::StatusColorNormal));
        QCOMPARE(status->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        auto* fileName = child<QLineEdit>(*window_, "txtFileName");
        QVERIFY(fileName->isReadOnly());
        QCOMPARE(colourOf(fileName, QPalette::Text), QColor(Qt::yellow));
        QCOMPARE(colourOf(fileName, QPalette::Base), QColor(Qt::black));
        QCOMPARE(colourOf(child<QLabel>(*window_, "Label1"), QPalette::WindowText),
                 QColor(Qt::red));
        auto* port = child<QComboBox>(*window_, "Apriti");
        QVERIFY(port->isEditable());
        QCOMPARE(colourOf(port, QPalette::Base), QColor(Qt::white));

        QVERIFY(child<QPushButton>(*window_, "cmdSelectFile")->isEnabled());
        QVERIFY(!child<QPushButton>(*window_, "DwnloadButton")->isEnabled());
        QVERIFY(child<QPushButton>(*window_, "cmdOper_0")->isEnabled());
        QVERIFY(!child<QPushButton>(*window_, "cmdOper_1")->isEnabled());
        QVERIFY(!window_->portIsOpen());
        QVERIFY(!window_->isBusy());
        QVERIFY(ports_.openedTexts().empty());
    }

    // Tab follows the layout from the port box on; the read-only boxes take the focus only
    // from a click, to select and copy their text.
    void focusOrderAndStart() {
        window_->show();
        QVERIFY(QTest::qWaitForWindowActive(window_.get()));
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Apriti"));

        // Every control that Tab reaches, in order, whether enabled now or not.
        QStringList order;
        QWidget* start = child<QWidget>(*window_, "Apriti");
        QWidget* next = start;
        do {
            if ((next->focusPolicy() & Qt::TabFocus) && next->isVisibleTo(window_.get()) &&
                next->focusProxy() == nullptr && next != window_.get()) {
                QWidget* named = next;
                while (named->objectName().isEmpty() || named->objectName().startsWith("qt_"))
                    named = named->parentWidget();
                if (order.isEmpty() || order.last() != named->objectName())
                    order << named->objectName();
            }
            next = next->nextInFocusChain();
        } while (next != start);
        QCOMPARE(order, (QStringList{"Apriti", "cmdOper_0", "cmdOper_1", "cmdSelectFile",
                                     "DwnloadButton"}));
    }

    // The fonts must not clip any caption or any status text the download can show.
    void textsFitTheirControls() {
        window_->show();
        for (auto* button : window_->findChildren<QPushButton*>()) {
            const QString caption = button->text().remove(QLatin1Char('&'));
            const int needed = button->fontMetrics().horizontalAdvance(caption) +
                               2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin);
            QVERIFY2(needed <= button->width(), qPrintable(button->objectName()));
        }
        for (auto* label : window_->findChildren<QLabel*>()) {
            if (label->wordWrap()) continue;
            const QString caption = label->text().remove(QLatin1Char('&'));
            QVERIFY2(label->fontMetrics().horizontalAdvance(caption) <= label->width(),
                     qPrintable(label->objectName()));
            QVERIFY2(label->fontMetrics().height() <= label->height(),
                     qPrintable(label->objectName()));
        }
        for (auto* box : window_->findChildren<QGroupBox*>()) {
            QVERIFY2(box->fontMetrics().horizontalAdvance(box->title()) < box->width(),
                     qPrintable(box->objectName()));
        }
        auto* status = child<QLineEdit>(*window_, "DwStatus");
        const QStringList statusTexts = {"Idle",
                                         "Connecting",
                                         "Connection Error",
                                         "Sending Password",
                                         "Wrong Password",
                                         "Erasing external flash",
                                         "Blank external flash S8",
                                         "Erase external flash S8",
                                         "Error erase flash S",
                                         "Programming!",
                                         "Unexpected record length",
                                         "Checksum Error",
                                         "Flash Error",
                                         "Resetting target",
                                         "Done!",
                                         "Empty file",
                                         "Wrong file format",
                                         "Unexpected end of file",
                                         "File too long",
                                         "Wrong file type",
                                         "Misaligned record",
                                         "Record outside flash",
                                         "Duplicate address",
                                         "No last record E7FFC0"};
        for (const QString& text : statusTexts) {
            QVERIFY2(status->fontMetrics().horizontalAdvance(text) <= lineEditTextWidth(status),
                     qPrintable(text));
        }
        auto* fileName = child<QLineEdit>(*window_, "txtFileName");
        QVERIFY(fileName->fontMetrics().horizontalAdvance("APPLICATION_V1.SHX") <=
                lineEditTextWidth(fileName));
        auto* port = child<QComboBox>(*window_, "Apriti");
        QVERIFY(port->fontMetrics().horizontalAdvance("sim:3") <=
                lineEditTextWidth(port->lineEdit()));
    }

    // A text wider than its box keeps the part that tells it apart: the end of a port path,
    // both ends of a file name, the start of a status; "…" stands for what is left out.
    void longTextsShowWhatMatters_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::newRow("usb adapter") << "Apriti"
                                     << "/dev/ttyUSB0"
                                     << ""
                                     << "USB0";
        QTest::newRow("pseudo-terminal") << "Apriti"
                                         << "/dev/pts/12"
                                         << ""
                                         << "pts/12";
        QTest::newRow("com port") << "Apriti"
                                  << "COM5"
                                  << "COM5"
                                  << "COM5";
        QTest::newRow("status") << "DwStatus"
                                << "No serial port number 7: the system lists 2 (1 to 2)"
                                << "No serial port"
                                << "";
        QTest::newRow("file name") << "txtFileName"
                                   << "KX200_CONTROLLER_APPLICATION_V4.17.3_RELEASE.SHX"
                                   << "KX200"
                                   << ".SHX";
    }
    void longTextsShowWhatMatters() {
        QFETCH(QString, box);
        QFETCH(QString, text);
        QFETCH(QString, start);
        QFETCH(QString, end);
        window_->show();
        auto* edit = qobject_cast<korvath::ui::ElidingLineEdit*>(
            box == "Apriti" ? child<QComboBox>(*window_, "Apriti")->lineEdit()
                            : child<QLineEdit>(*window_, box.toLatin1().constData()));
        QVERIFY(edit != nullptr);
        edit->setText(text);
        const QString shown = edit->shownText();
        QVERIFY2(edit->fontMetrics().horizontalAdvance(shown) <= lineEditTextWidth(edit),
                 qPrintable(shown));
        QVERIFY2(shown.startsWith(start) && shown.endsWith(end), qPrintable(shown));
        QCOMPARE(edit->elided(), shown != text);
        QCOMPARE(shown.contains(QChar(0x2026)), shown != text);
    }

    // Names are shown escaped: a line break or a byte that is no UTF-8 cannot garble the box,
    // and such a file still opens. A long status keeps its whole text in the tool tip.
    void strangeNamesShowEscaped() {
        const korvath::test::TempDir files;
        const std::filesystem::path image =
            files.write("new\nline\xff.SHX", korvath::test::imageLines(0xE7FF00));
        korvath::test::TestPortOpener missing(
            [](std::string_view,
               korvath::link::Clock&) -> korvath::platform::Result<korvath::ports::OpenedPort> {
                return korvath::platform::Fault{korvath::platform::ErrorNumber::FileNotFound,
                                                "No serial port number 7: the system lists 2"};
            });
        window_ = std::make_unique<FrmUtil>(
            korvath::ui::WindowServices{prompts_, missing, nullptr, nullptr, image});
        window_->show();
        QCOMPARE(child<QLineEdit>(*window_, "txtFileName")->text(),
                 QStringLiteral("new\\nline\\xff.SHX"));
        QVERIFY(child<QLabel>(*window_, "details")->text().contains("4 records"));
        QVERIFY(prompts_.messages.empty());

        QTest::mouseClick(child<QPushButton>(*window_, "cmdOper_0"), Qt::LeftButton);
        auto* status = child<korvath::ui::ElidingLineEdit>(*window_, "DwStatus");
        QTRY_VERIFY(status->elided());
        QCOMPARE(status->toolTip(), status->text());
        window_.reset();
    }

    // The drop-down asks for the ports each time it opens and keeps what the user typed.
    void portListRefreshesOnEveryOpening() {
        auto* port = child<QComboBox>(*window_, "Apriti");
        window_->show();
        ports_.choices = {{"ttyUSB0", "USB serial adapter"}, {"sim", "Simulated controller"}};
        port->showPopup();
        port->hidePopup();
        QCOMPARE(port->count(), 2);
        QCOMPARE(port->itemText(0), QStringLiteral("ttyUSB0"));
        QCOMPARE(port->model()->index(0, 1).data().toString(),
                 QStringLiteral("USB serial adapter"));
        QCOMPARE(port->currentText(), QStringLiteral("1"));

        ports_.choices = {{"ttyACM0", "CDC modem"}};
        port->showPopup();
        port->hidePopup();
        QCOMPARE(port->count(), 1);
        QCOMPARE(port->itemText(0), QStringLiteral("ttyACM0"));
        QCOMPARE(ports_.listed(), 2);

        port->setCurrentIndex(0);
        QCOMPARE(port->currentText(), QStringLiteral("ttyACM0"));
        // Typed text is taken as it stands: no length limit, no completion into a listed name.
        port->lineEdit()->clear();
        QTest::keyClicks(port->lineEdit(), "ttyA");
        QCOMPARE(port->currentText(), QStringLiteral("ttyA"));
        port->lineEdit()->setText("/dev/serial/by-id/usb-adapter-if00-port0");
        QCOMPARE(port->currentText(), QStringLiteral("/dev/serial/by-id/usb-adapter-if00-port0"));
    }

    // The real box: the asked icon, title and text, and an OK button only.
    void realMessageBox_data() {
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("expected");
        QTest::newRow("none") << int(MessageIcon::None) << int(QMessageBox::NoIcon);
        QTest::newRow("information")
            << int(MessageIcon::Information) << int(QMessageBox::Information);
        QTest::newRow("warning") << int(MessageIcon::Warning) << int(QMessageBox::Warning);
    }

    void realMessageBox() {
        QFETCH(int, icon);
        QFETCH(int, expected);
        korvath::ui::QtPrompts prompts;
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            seen = true;
            QCOMPARE(int(box->icon()), expected);
            QCOMPARE(box->windowTitle(), QStringLiteral("COM port check"));
            QCOMPARE(box->text(), QStringLiteral("Port already open!"));
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->standardButton(box->buttons().first()), QMessageBox::Ok);
            box->buttons().first()->click();
        });
        prompts.message(window_.get(), MessageIcon(icon), QStringLiteral("COM port check"),
                        QStringLiteral("Port already open!"));
        QVERIFY(seen);
    }

    // File names are case-sensitive here: the filter must still find .shx and .Shx files.
    void imageFilterMatchesAnyCase() {
        const QString filter = korvath::ui::imageFileNameFilter();
        const qsizetype open = filter.lastIndexOf('(');
        QCOMPARE(filter.left(open).trimmed(), QStringLiteral("Motorola Extendex [*.SHX]"));
        const QStringList patterns = filter.mid(open + 1).chopped(1).split(' ', Qt::SkipEmptyParts);
        QTemporaryDir dir;
        for (const char* name : {"a.SHX", "b.shx", "c.Shx", "d.hex", "e.SHX.bak", "fSHX"}) {
            QFile file(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QStringList found =
            QDir(dir.path()).entryList(patterns, QDir::Files | QDir::CaseSensitive, QDir::Name);
        QCOMPARE(found, (QStringList{"a.SHX", "b.shx", "c.Shx"}));
    }

    // The real dialog offers the image filter first, then every file, and gives back the full path
    // of the chosen file.
    void realFileDialogReturnsFullPath() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.shx"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        korvath::ui::QtPrompts prompts;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            QCOMPARE(dialog->nameFilters(),
                     (QStringList{korvath::ui::imageFileNameFilter(), "All files (*)"}));
            QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
            dialog->selectFile(path);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const std::optional<QString> chosen = prompts.chooseImageFile(window_.get(), dir.path());
        QVERIFY(chosen.has_value());
        QCOMPARE(QFileInfo(*chosen).canonicalFilePath(), QFileInfo(path).canonicalFilePath());

        QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
        QVERIFY(!prompts.chooseImageFile(window_.get(), dir.path()).has_value());
    }

  private:
    korvath::test::ScriptedPrompts prompts_;
    korvath::test::TestPortOpener ports_;
    std::unique_ptr<FrmUtil> window_;
};

QTEST_MAIN(WindowLayoutTest)
#include "window_layout_test.moc"
