// The port and file commands: Open and Close on a real pseudo-terminal and on ports that will
// not open, the Download rule, the file command's header check and its dialog loop, and the
// Download command's refusals.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

#include "gate_port.h"
#include "image/image_files.h"
#include "ports/system/system_ports.h"
#include "serial/serial_port.h"
#include "ui/frm_util.h"
#include "ui/ole_color.h"
#include "ui_fakes.h"
#include "window/settings.h"

using korvath::test::BorrowedPort;
using korvath::test::GatePort;
using korvath::test::ScriptedPrompts;
using korvath::test::ShownMessage;
using korvath::test::TestPortOpener;
using korvath::ui::FrmUtil;
using korvath::ui::MessageIcon;

namespace {

/// The master side of a pseudo-terminal; the slave's /dev/pts/N path opens as a serial port.
class PseudoTerminal {
  public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            qFatal("no pseudo-terminal");
        path_ = QString::fromLocal8Bit(::ptsname(master_));
    }
    ~PseudoTerminal() { ::close(master_); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    [[nodiscard]] const QString& path() const { return path_; }

  private:
    int master_ = -1;
    QString path_;
};

/// Whether someone else could open `path` now (a port held open is refused as busy).
bool othersCanOpen(const QString& path) {
    korvath::link::SteadyClock clock;
    const auto opened = korvath::serial::openSerialPort(path.toStdString(), clock);
    if (opened) opened->port->close();
    return opened.ok();
}

QString fileOf(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

}  // namespace

class WindowCommandsTest : public QObject {
    Q_OBJECT

  private:
    ScriptedPrompts prompts_;
    std::unique_ptr<GatePort> gate_;
    std::unique_ptr<TestPortOpener> gateOpener_;
    std::unique_ptr<korvath::test::TempDir> files_;
    std::unique_ptr<FrmUtil> window_;

    template <typename T>
    T* child(const char* name) {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) { return child<QPushButton>(name); }
    QColor label1Colour() { return child<QLabel>("Label1")->palette().color(QPalette::WindowText); }
    QString fileNameBox() { return child<QLineEdit>("txtFileName")->text(); }

    void makeWindow(korvath::ports::PortOpener& opener,
                    korvath::window::SettingsStore* settings = nullptr, QString image = {}) {
        window_ = std::make_unique<FrmUtil>(korvath::ui::WindowServices{
            prompts_, opener, nullptr, settings, QFile::encodeName(image).toStdString()});
        window_->show();
    }
    /// Drags `files` over the window and drops them; whether the window took the drag.
    bool drop(const QList<QUrl>& files) {
        QMimeData data;
        data.setUrls(files);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(window_.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window_.get(), &dropped);
        return true;
    }
    void typePort(const QString& text) { child<QComboBox>("Apriti")->setEditText(text); }
    // The port opens and closes on the download thread; the window shows the state it reports.
    void clickForPortState(const char* name) {
        QSignalSpy shown(window_.get(), &FrmUtil::portStateShown);
        QTest::mouseClick(button(name), Qt::LeftButton);
        QVERIFY(shown.wait());
    }
    void openPort() { clickForPortState("cmdOper_0"); }
    void closePort() { clickForPortState("cmdOper_1"); }
    void chooseFiles(std::initializer_list<std::optional<QString>> answers) {
        prompts_.dialogAnswers.assign(answers.begin(), answers.end());
        QTest::mouseClick(button("cmdSelectFile"), Qt::LeftButton);
    }
    QString validImage(const std::string& name) {
        return fileOf(files_->write(name, korvath::test::imageLines(0xE7FF00)));
    }

  private slots:
    // QSettings and the file dialogs then write under ~/.qttest, never the user's own files.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        prompts_ = ScriptedPrompts{};
        files_ = std::make_unique<korvath::test::TempDir>();
        gate_ = std::make_unique<GatePort>();
        gateOpener_ =
            std::make_unique<TestPortOpener>([this](std::string_view, korvath::link::Clock&) {
                gate_->open();
                return korvath::ports::OpenedPort{std::make_unique<BorrowedPort>(*gate_), {}};
            });
    }
    void cleanup() {
        window_.reset();
        gateOpener_.reset();
        gate_.reset();
        files_.reset();
    }

    void openAndCloseARealPseudoTerminal() {
        PseudoTerminal pty;
        korvath::ports::SystemPorts opener;
        makeWindow(opener);
        typePort(pty.path());

        openPort();
        QVERIFY(window_->portIsOpen());
        QCOMPARE(label1Colour(), QColor(0, 0x80, 0));
        QVERIFY(!button("cmdOper_0")->isEnabled());
        QVERIFY(button("cmdOper_1")->isEnabled());
        QVERIFY(!button("DwnloadButton")->isEnabled());
        QCOMPARE(prompts_.beeps, 0);
        QVERIFY(prompts_.messages.empty());
        QVERIFY(!othersCanOpen(pty.path()));

        closePort();
        QVERIFY(!window_->portIsOpen());
        QCOMPARE(label1Colour(), QColor(0xFF, 0, 0));
        QVERIFY(button("cmdOper_0")->isEnabled());
        QVERIFY(!button("cmdOper_1")->isEnabled());
        QVERIFY(othersCanOpen(pty.path()));
        QCOMPARE(prompts_.beeps, 0);
    }

    void portThatWillNotOpen_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("missing device") << QStringLiteral("/dev/korvath-no-such-port");
        QTest::newRow("port number 0") << QStringLiteral("0");
        QTest::newRow("not a whole number") << QStringLiteral("1e3");
        QTest::newRow("unlisted port number") << QStringLiteral("999");
        QTest::newRow("no such simulated model") << QStringLiteral("sim:7");
    }

    // A beep, the red label and the reason in the status box and the label's tool tip.
    void portThatWillNotOpen() {
        QFETCH(QString, text);
        korvath::ports::SystemPorts opener;
        makeWindow(opener);
        typePort(text);
        openPort();
        QVERIFY(!window_->portIsOpen());
        QCOMPARE(prompts_.beeps, 1);
        QVERIFY(prompts_.messages.empty());
        QCOMPARE(label1Colour(), QColor(0xFF, 0, 0));
        QVERIFY(!child<QLabel>("Label1")->toolTip().isEmpty());
        QCOMPARE(child<QLineEdit>("DwStatus")->text(), child<QLabel>("Label1")->toolTip());
        QVERIFY2(child<QLineEdit>("DwStatus")->text().contains(text),
                 qPrintable(child<QLineEdit>("DwStatus")->text()));
        QVERIFY(button("cmdOper_0")->isEnabled());
        QVERIFY(!button("cmdOper_1")->isEnabled());
        QVERIFY(!button("DwnloadButton")->isEnabled());
    }

    void openWhileOpenSaysSo() {
        makeWindow(*gateOpener_);
        openPort();
        QVERIFY(window_->portIsOpen());
        window_->cmdOperClick(0);
        QCOMPARE(prompts_.messages.size(), std::size_t(1));
        const ShownMessage& box = prompts_.messages.front();
        QCOMPARE(box.icon, MessageIcon::Information);
        QCOMPARE(box.title, QStringLiteral("COM port check"));
        QCOMPARE(box.text, QStringLiteral("Port already open!"));
        QVERIFY(window_->portIsOpen());
        QCOMPARE(label1Colour(), QColor(0, 0x80, 0));
        QCOMPARE(prompts_.beeps, 0);
        QCOMPARE(gateOpener_->openedTexts().size(), std::size_t(1));
    }

    // Download needs a file that passed the check: a refused one, whatever its name, leaves it
    // disabled, and Download then does nothing at all.
    void downloadRuleNeedsACheckedFile_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("4 characters") << QStringLiteral("/a/b");
        QTest::newRow("5 characters") << QStringLiteral("/a/bc");
    }

    void downloadRuleNeedsACheckedFile() {
        QFETCH(QString, path);
        makeWindow(*gateOpener_);
        openPort();
        chooseFiles({path, std::nullopt});  // rejected (no such file), then cancelled
        QCOMPARE(window_->dialogFileName(), path);
        QCOMPARE(fileNameBox(), QString());
        QVERIFY(!button("DwnloadButton")->isEnabled());

        prompts_.messages.clear();
        window_->dwnloadButtonClick();
        QVERIFY(prompts_.messages.empty());
        QVERIFY(!window_->isBusy());
        QCOMPARE(prompts_.beeps, 0);
        QCOMPARE(gate_->writes(), 0);
    }

    void downloadFollowsThePort() {
        makeWindow(*gateOpener_);
        const QString image = validImage("APP.SHX");
        chooseFiles({image});
        QCOMPARE(fileNameBox(), QStringLiteral("APP.SHX"));
        QCOMPARE(window_->imagePath(), image);
        QVERIFY(!button("DwnloadButton")->isEnabled());

        openPort();
        QVERIFY(button("DwnloadButton")->isEnabled());
        closePort();
        QVERIFY(!button("DwnloadButton")->isEnabled());
        QCOMPARE(fileNameBox(), QStringLiteral("APP.SHX"));
        openPort();
        QVERIFY(button("DwnloadButton")->isEnabled());
    }

    // Each rejection names the file and shows the dialog again; the file chosen before stays.
    void fileCommandLoopsUntilAFileIsAccepted() {
        makeWindow(*gateOpener_);
        openPort();
        const QString first = validImage("first.SHX");
        chooseFiles({first});
        QVERIFY(button("DwnloadButton")->isEnabled());

        const QString lower = fileOf(files_->writeRaw("lower.SHX", "s0\r\n"));
        const QString empty = fileOf(files_->writeRaw("empty.SHX", ""));
        const QString missing = fileOf(files_->path() / "missing.SHX");
        const QString good = validImage("good.shx");
        QStringList boxWhenAsked;
        prompts_.onDialog = [&] { boxWhenAsked << fileNameBox(); };
        chooseFiles({lower, empty, missing, good});

        QCOMPARE(boxWhenAsked, (QStringList{"first.SHX", "first.SHX", "first.SHX", "first.SHX"}));
        QCOMPARE(prompts_.messages.size(), std::size_t(3));
        const QStringList refused = {lower, empty, missing};
        const QStringList headlines = {"Wrong file format", "Wrong file format", "File not found"};
        for (qsizetype i = 0; i < refused.size(); ++i) {
            QVERIFY(prompts_.messages[i].text.startsWith(headlines[i]));
            QVERIFY(prompts_.messages[i].text.contains(refused[i]));
        }
        QCOMPARE(fileNameBox(), QStringLiteral("good.shx"));
        QCOMPARE(window_->imagePath(), good);
        QVERIFY(button("DwnloadButton")->isEnabled());
        // Each dialog starts at the file confirmed before it.
        const std::vector<QString> starts(prompts_.dialogStartPaths.begin() + 1,
                                          prompts_.dialogStartPaths.end());
        QCOMPARE(starts, (std::vector<QString>{first, lower, empty, missing}));
    }

    // A chosen file is checked at once: a refusal shows in the status box in the error colour,
    // its line and reason on the details line, and Download stays disabled.
    void chosenFileIsCheckedAtOnce() {
        makeWindow(*gateOpener_);
        openPort();
        std::vector<std::string> lines = korvath::test::imageLines(0xE7FF00);
        lines.insert(lines.begin() + 1, korvath::test::dataLine(0xE00010));
        const QString misaligned = fileOf(files_->write("misaligned.SHX", lines));
        QSignalSpy shown(window_.get(), &FrmUtil::statusShown);
        chooseFiles({misaligned});
        QCOMPARE(fileNameBox(), QStringLiteral("misaligned.SHX"));
        QVERIFY(prompts_.messages.empty());
        auto* status = child<QLineEdit>("DwStatus");
        QCOMPARE(status->text(), QStringLiteral("Misaligned record"));
        QCOMPARE(shown.last().at(1).toUInt(), korvath::ui::StatusColorError);
        auto* details = child<QLabel>("details");
        QCOMPARE(details->text(),
                 misaligned +
                     QStringLiteral(
                         "\nline 2: the record at E00010 does not begin on a 64-byte boundary"));
        QVERIFY(!details->isHidden());
        QVERIFY(!button("DwnloadButton")->isEnabled());

        const QString good = validImage("good.SHX");
        chooseFiles({good});
        QCOMPARE(status->text(), QStringLiteral("Idle"));
        QVERIFY(status->toolTip().isEmpty());
        QVERIFY(details->text().startsWith(good + QStringLiteral("\n4 records, SHA-256 ")));
        QVERIFY(button("DwnloadButton")->isEnabled());
    }

    void cancelOrRefusalKeepsTheFile() {
        makeWindow(*gateOpener_);
        openPort();
        const QString image = validImage("APP.SHX");
        chooseFiles({image});

        chooseFiles({std::nullopt});  // cancelled at once: nothing changes
        QCOMPARE(fileNameBox(), QStringLiteral("APP.SHX"));
        QCOMPARE(window_->imagePath(), image);
        QVERIFY(button("DwnloadButton")->isEnabled());

        const QString wrong = fileOf(files_->writeRaw("WRONG.SHX", "S9\r\n"));
        chooseFiles({wrong, std::nullopt});  // rejected, then cancelled: the file stays
        QCOMPARE(fileNameBox(), QStringLiteral("APP.SHX"));
        QCOMPARE(window_->imagePath(), image);
        QCOMPARE(window_->dialogFileName(), wrong);
        QVERIFY(button("DwnloadButton")->isEnabled());
    }

    void downloadWithoutAPort() {
        makeWindow(*gateOpener_);
        chooseFiles({validImage("APP.SHX")});
        window_->dwnloadButtonClick();
        QCOMPARE(prompts_.messages.size(), std::size_t(1));
        const ShownMessage& box = prompts_.messages.front();
        QCOMPARE(box.icon, MessageIcon::Warning);
        QCOMPARE(box.title, QStringLiteral("COM port check"));
        QCOMPARE(box.text, QStringLiteral("No serial port defined"));
        QVERIFY(!window_->isBusy());
        QCOMPARE(prompts_.beeps, 0);
    }

    // The download thread checks the port itself: an adapter pulled out while the port was
    // open leaves the button enabled, but no download starts.
    void downloadAfterTheDeviceWentAway() {
        makeWindow(*gateOpener_);
        openPort();
        chooseFiles({validImage("APP.SHX")});
        QVERIFY(button("DwnloadButton")->isEnabled());
        gate_->unplug();
        QTest::mouseClick(button("DwnloadButton"), Qt::LeftButton);
        QTRY_COMPARE(prompts_.messages.size(), std::size_t(1));
        QCOMPARE(prompts_.messages.front().text, QStringLiteral("No serial port defined"));
        QCOMPARE(gate_->writes(), 0);
        QVERIFY(!window_->isBusy());
    }

    // A dropped image is chosen as from the dialog; a file that is no image is named in its box
    // and the file before stays; more than one file, or no local file, is not taken.
    void dropChoosesAFile() {
        makeWindow(*gateOpener_);
        openPort();
        const QString image = validImage("DROPPED.SHX");
        QVERIFY(drop({QUrl::fromLocalFile(image)}));
        QCOMPARE(fileNameBox(), QStringLiteral("DROPPED.SHX"));
        QVERIFY(button("DwnloadButton")->isEnabled());
        QVERIFY(child<QLineEdit>("txtFileName")->toolTip().startsWith(image + "\n4 records"));

        const QString notes = fileOf(files_->writeRaw("notes.txt", "hello\r\n"));
        QVERIFY(drop({QUrl::fromLocalFile(notes)}));
        QCOMPARE(prompts_.messages.size(), std::size_t(1));
        QVERIFY(prompts_.messages.front().text.contains(notes));
        QCOMPARE(fileNameBox(), QStringLiteral("DROPPED.SHX"));
        QCOMPARE(prompts_.dialogStartPaths.size(), std::size_t(0));

        QVERIFY(!drop({QUrl::fromLocalFile(image), QUrl::fromLocalFile(notes)}));
        QVERIFY(!drop({QUrl(QStringLiteral("https://example.org/APP.SHX"))}));
    }

    // Enter in the port box opens the port; Enter on a focused button presses it; Alt and the
    // underlined letter press the button it names.
    void keyboardDrivesTheCommands() {
        makeWindow(*gateOpener_);
        QVERIFY(QTest::qWaitForWindowActive(window_.get()));
        auto* box = child<QComboBox>("Apriti");
        box->setFocus();
        box->lineEdit()->selectAll();
        QTest::keyClicks(box->lineEdit(), "ttyUSB7");
        QSignalSpy shown(window_.get(), &FrmUtil::portStateShown);
        QTest::keyClick(box->lineEdit(), Qt::Key_Return);
        QVERIFY(shown.wait());
        QCOMPARE(gateOpener_->openedTexts(), std::vector<std::string>{"ttyUSB7"});
        QVERIFY(window_->portIsOpen());

        button("cmdOper_1")->setFocus();
        QTest::keyClick(button("cmdOper_1"), Qt::Key_Enter);
        QVERIFY(shown.wait());
        QVERIFY(!window_->portIsOpen());

        QTest::keyClick(window_.get(), Qt::Key_O, Qt::AltModifier);
        QVERIFY(shown.wait());
        QVERIFY(window_->portIsOpen());
        prompts_.dialogAnswers = {std::nullopt};
        QTest::keyClick(window_.get(), Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(prompts_.dialogStartPaths.size(), std::size_t(1));  // an animated click
    }

    // The details line shows the whole reason a port did not open, wraps, and the window grows
    // by its height; it goes again when there is nothing left to say.
    void detailsLineGrowsTheWindow() {
        korvath::ports::SystemPorts opener;
        makeWindow(opener);
        auto* details = child<QLabel>("details");
        QVERIFY(details->isHidden());
        QCOMPARE(window_->height(), 146);
        typePort(QStringLiteral("/dev/korvath-no-such-port-with-a-name-longer-than-the-window"));
        openPort();
        QVERIFY(!details->isHidden());
        QCOMPARE(details->text(), child<QLabel>("Label1")->toolTip());
        QVERIFY(
            details->text().contains("korvath-no-such-port-with-a-name-longer-than-the-window"));
        QVERIFY(details->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
        QCOMPARE(details->geometry().top(), 146);
        QVERIFY(details->geometry().right() < window_->width());
        QCOMPARE(window_->height(), 146 + details->height() + 4);
        QCOMPARE(window_->minimumHeight(), window_->height());

        makeWindow(*gateOpener_);
        openPort();
        QVERIFY(child<QLabel>("details")->isHidden());
        QCOMPARE(window_->height(), 146);
    }

    // The window starts with the file it was given, else with the one chosen last; the port
    // text comes back too, and the port stays closed.
    void startsWithTheRememberedOrGivenFile() {
        const QString last = validImage("LAST.SHX");
        korvath::window::MemorySettings settings({"ttyUSB3", {}, last.toStdString()});
        makeWindow(*gateOpener_, &settings);
        QCOMPARE(fileNameBox(), QStringLiteral("LAST.SHX"));
        QCOMPARE(child<QComboBox>("Apriti")->currentText(), QStringLiteral("ttyUSB3"));
        QVERIFY(!window_->portIsOpen());
        QVERIFY(gateOpener_->openedTexts().empty());

        makeWindow(*gateOpener_, &settings, validImage("GIVEN.SHX"));
        QCOMPARE(fileNameBox(), QStringLiteral("GIVEN.SHX"));
        QCOMPARE(settings.load().lastImage.filename(), "GIVEN.SHX");
    }
};

QTEST_MAIN(WindowCommandsTest)
#include "window_commands_test.moc"
