// Downloads through the window: the worker thread runs them against the simulated controller
// on a virtual clock, or against a silent device on the wall clock, while the window keeps
// taking events, refuses what must wait, and shows reports in order.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include "gate_port.h"
#include "image/image_files.h"
#include "sim/sim_port.h"
#include "support/virtual_clock.h"
#include "ui/frm_util.h"
#include "ui/ole_color.h"
#include "ui_fakes.h"

using korvath::test::BorrowedPort;
using korvath::test::GatePort;
using korvath::test::ScriptedPrompts;
using korvath::test::TestPortOpener;
using korvath::ui::FrmUtil;
using korvath::ui::MessageIcon;

namespace {

// Virtual time makes a whole download take well under a second; this only bounds a hang.
constexpr int kDownloadTimeoutMs = 60000;

QString fileOf(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

}  // namespace

class WindowDownloadTest : public QObject {
    Q_OBJECT

  private:
    ScriptedPrompts prompts_;
    std::unique_ptr<korvath::test::TempDir> files_;
    std::unique_ptr<korvath::test::VirtualClock> clock_;
    korvath::sim::Options options_;
    korvath::sim::SimPort* simPort_ = nullptr;  // owned by the window's download thread
    std::unique_ptr<GatePort> gate_;
    std::unique_ptr<TestPortOpener> opener_;
    std::unique_ptr<FrmUtil> window_;
    QStringList events_;  // status texts and boxes, in the order the window showed them

    QPushButton* button(const char* name) {
        return window_->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    QLineEdit* statusBox() { return window_->findChild<QLineEdit*>(QStringLiteral("DwStatus")); }

    /// A window on the virtual clock whose port is a simulated controller with `options_`.
    void makeSimulatedWindow() {
        clock_ = std::make_unique<korvath::test::VirtualClock>();
        opener_ =
            std::make_unique<TestPortOpener>([this](std::string_view, korvath::link::Clock& clock) {
                auto port = std::make_unique<korvath::sim::SimPort>(options_, clock);
                simPort_ = port.get();
                return korvath::ports::OpenedPort{std::move(port), {}};
            });
        makeWindow(clock_.get());
    }

    void makeWindow(korvath::link::Clock* clock) {
        window_ = std::make_unique<FrmUtil>(korvath::ui::WindowServices{prompts_, *opener_, clock});
        connect(window_.get(), &FrmUtil::statusShown, this,
                [this](const QString& text) { events_ << text; });
        prompts_.onMessage = [this](const korvath::test::ShownMessage& box) {
            events_ << QStringLiteral("box: ") + box.title;
        };
        window_->show();
    }

    void openPortAndChoose(const QString& image) {
        QSignalSpy shown(window_.get(), &FrmUtil::portStateShown);
        QTest::mouseClick(button("cmdOper_0"), Qt::LeftButton);
        QVERIFY(shown.wait());
        QVERIFY(window_->portIsOpen());
        prompts_.dialogAnswers = {image};
        QTest::mouseClick(button("cmdSelectFile"), Qt::LeftButton);
        QVERIFY(button("DwnloadButton")->isEnabled());
        events_.clear();
    }

    void downloadAndWait() {
        QSignalSpy ended(window_.get(), &FrmUtil::downloadEnded);
        QTest::mouseClick(button("DwnloadButton"), Qt::LeftButton);
        QVERIFY(window_->isBusy());
        QVERIFY(ended.wait(kDownloadTimeoutMs));
        QVERIFY(!window_->isBusy());
    }

    QString smallImage() {
        return fileOf(files_->write("APP.SHX", korvath::test::imageLines(0xE7FF00)));
    }

  private slots:
    // QSettings and the file dialogs then write under ~/.qttest, never the user's own files.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        prompts_ = ScriptedPrompts{};
        files_ = std::make_unique<korvath::test::TempDir>();
        options_ = korvath::sim::Options{};
        events_.clear();
    }
    void cleanup() {
        // A test that failed mid-download: let the download end before the window goes.
        if (gate_) gate_->unplug();
        window_.reset();
        gate_.reset();
        simPort_ = nullptr;
        opener_.reset();
        clock_.reset();
        files_.reset();
    }

    void wholeDownload() {
        options_.model = 1;
        options_.dirty = true;  // sector 0 needs an erase, the others test blank after it
        makeSimulatedWindow();
        openPortAndChoose(smallImage());
        // The bar's tool tip as each of these statuses shows: the reports before it are drawn.
        auto* bar = window_->findChild<QProgressBar*>(QStringLiteral("DwnldrBar"));
        QMap<QString, QString> barTips;
        QObject scope;  // the connection ends with this function, and with barTips
        connect(window_.get(), &FrmUtil::statusShown, &scope,
                [&](const QString& text) { barTips[text] = bar->toolTip(); });
        downloadAndWait();
        QCOMPARE(barTips.value(QStringLiteral("Sending Password")),
                 QStringLiteral("Connecting: probe 1 of 50"));
        QCOMPARE(barTips.value(QStringLiteral("Programming!")),
                 QStringLiteral("Erasing: sector 8 of 8"));
        // The image's four data records, the time programming took and none left.
        const QString programmed = barTips.value(QStringLiteral("Resetting target"));
        QVERIFY2(programmed.startsWith(QStringLiteral("4 of 4 records, 00:")) &&
                     programmed.endsWith(QStringLiteral(" elapsed, 00:00 left")),
                 qPrintable(programmed));
        QCOMPARE(bar->toolTip(), QStringLiteral("Resetting: 8 of 8 s"));

        QStringList expected = {"Idle", "Connecting", "Sending Password", "Erasing external flash"};
        // A dirty flash: every sector of model 1 (indices 0..7) is erased once.
        for (int i = 0; i < 8; ++i) expected << QStringLiteral("Erase external flash S%1").arg(i);
        expected << "Programming!"
                 << "Resetting target"
                 << "Done!";
        QCOMPARE(events_, expected);

        QCOMPARE(statusBox()->text(), QStringLiteral("Done!"));
        QCOMPARE(statusBox()->palette().color(QPalette::Base),
                 korvath::ui::toQColor(korvath::ui::StatusColorNormal));
        QCOMPARE(bar->maximum(), 8);  // the reset wait's eight seconds
        QCOMPARE(bar->value(), 8);
        QCOMPARE(prompts_.beeps, 1);
        QVERIFY(prompts_.messages.empty());
        QVERIFY(QApplication::overrideCursor() == nullptr);

        // The simulated flash holds the image's last record at E7FFC0.
        QVERIFY(simPort_ != nullptr);
        QCOMPARE(simPort_->controller().counters().programs, 4);
        const std::string last = korvath::test::dataLine(0xE7FFC0, std::uint8_t(0xE7FFC0 >> 6));
        QCOMPARE(simPort_->controller().readFlash(0xE7FFC0),
                 std::uint8_t(std::stoi(last.substr(10, 2), nullptr, 16)));

        // The next file command clears the status box back to "Idle".
        prompts_.dialogAnswers = {std::nullopt};
        QTest::mouseClick(button("cmdSelectFile"), Qt::LeftButton);
        QCOMPARE(statusBox()->text(), QStringLiteral("Idle"));
    }

    // The port box is narrower than a device path: its tool tip holds the whole text, and its
    // list is as wide as its longest entry.
    void portBoxShowsItsWholeText() {
        makeSimulatedWindow();
        opener_->choices = {{"ttyUSB9", "USB serial adapter"},
                            {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3LMT-if00-port0",
                             "the same adapter by id"}};
        auto* box = window_->findChild<QComboBox*>(QStringLiteral("Apriti"));
        QCOMPARE(box->toolTip(), QStringLiteral("1"));
        box->setEditText(QStringLiteral("/dev/ttyUSB10"));
        QCOMPARE(box->toolTip(), QStringLiteral("/dev/ttyUSB10"));
        QVERIFY(box->fontMetrics().horizontalAdvance(box->currentText()) > box->width() - 24);
        box->showPopup();
        const QString longest = QString::fromStdString(opener_->choices[1].text);
        QVERIFY(box->view()->width() >=
                QFontMetrics(box->view()->font()).horizontalAdvance(longest));
        box->hidePopup();
        QCOMPARE(box->currentText(), QStringLiteral("/dev/ttyUSB10"));
    }

    // The card box comes between "Resetting target" and "Done!", and the download waits for it.
    void programmingCardStillPlugged() {
        options_.card = true;
        makeSimulatedWindow();
        openPortAndChoose(smallImage());
        downloadAndWait();

        QCOMPARE(events_.mid(events_.size() - 3),
                 (QStringList{"Resetting target", "box: Programming Card check", "Done!"}));
        QCOMPARE(prompts_.messages.size(), std::size_t(1));
        const auto& box = prompts_.messages.front();
        QCOMPARE(box.icon, MessageIcon::Information);
        QCOMPARE(box.text,
                 QStringLiteral("Please remove Programming Card first,\nthen close this window."));
        QCOMPARE(prompts_.beeps, 1);
    }

    // A controller that overfills every reply makes every exchange fail: one box per download.
    void exchangeErrorsBoxedOncePerDownload() {
        options_.longReplyEvery = 1;
        makeSimulatedWindow();
        openPortAndChoose(smallImage());
        downloadAndWait();

        QCOMPARE(prompts_.messages.size(), std::size_t(1));
        const auto& box = prompts_.messages.front();
        QCOMPARE(box.icon, MessageIcon::None);
        QCOMPARE(box.title, QApplication::applicationDisplayName());
        QVERIFY2(box.text.startsWith(QStringLiteral("9 - ")), qPrintable(box.text));
        QCOMPARE(statusBox()->text(), QStringLiteral("Connection Error"));
        QCOMPARE(statusBox()->palette().color(QPalette::Base),
                 korvath::ui::toQColor(korvath::ui::StatusColorError));
        QCOMPARE(prompts_.beeps, 1);

        downloadAndWait();
        QCOMPARE(prompts_.messages.size(), std::size_t(2));
        QCOMPARE(prompts_.beeps, 2);
    }

    // A silent device keeps the connect phase busy for a real second per probe: the window
    // repaints and takes events meanwhile, and refuses everything that must wait.
    void busyWindowStaysResponsive() {
        gate_ = std::make_unique<GatePort>();
        GatePort& gate = *gate_;
        opener_ = std::make_unique<TestPortOpener>([this](std::string_view, korvath::link::Clock&) {
            return korvath::ports::OpenedPort{std::make_unique<BorrowedPort>(*gate_), {}};
        });
        makeWindow(nullptr);
        openPortAndChoose(smallImage());

        QSignalSpy ended(window_.get(), &FrmUtil::downloadEnded);
        QTest::mouseClick(button("DwnloadButton"), Qt::LeftButton);
        QTRY_VERIFY(gate.writes() >= 1);
        QTRY_COMPARE(statusBox()->text(), QStringLiteral("Connecting"));

        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(10);
        QTRY_VERIFY(ticks >= 5);

        // Every control that would ignore a click is disabled meanwhile; Download is Stop.
        for (const char* name : {"cmdOper_0", "cmdOper_1", "cmdSelectFile"})
            QVERIFY2(!button(name)->isEnabled(), name);
        QCOMPARE(button("DwnloadButton")->text(), QStringLiteral("Stop"));
        QVERIFY(button("DwnloadButton")->isEnabled());
        QVERIFY(!window_->findChild<QComboBox*>(QStringLiteral("Apriti"))->isEnabled());
        // Closing asks first; kept downloading, the window stays.
        QVERIFY(!window_->close());
        QTRY_COMPARE(prompts_.questions.size(), std::size_t(1));
        QCOMPARE(prompts_.questions.front(),
                 QStringLiteral("A download is running. Stop it and close?"));
        QVERIFY(window_->isVisible());
        QTest::mouseClick(button("cmdSelectFile"), Qt::LeftButton);
        QVERIFY(prompts_.dialogStartPaths.size() == 1);  // only the one before the download
        QTest::mouseClick(button("cmdOper_1"), Qt::LeftButton);
        QVERIFY(gate.isOpen());
        QVERIFY(window_->portIsOpen());
        QCOMPARE(statusBox()->text(), QStringLiteral("Connecting"));
        QCOMPARE(ended.count(), 0);

        // The device goes away while the close question is up: the download's end waits until
        // the question is answered, then one error box; the remaining probes fail at once.
        QString shownDuringQuestion;
        prompts_.onQuestion = [&] {
            gate.unplug();
            QTest::qWait(300);
            shownDuringQuestion = statusBox()->text() + QString::number(prompts_.messages.size());
        };
        QVERIFY(!window_->close());
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kDownloadTimeoutMs);
        QCOMPARE(shownDuringQuestion, QStringLiteral("Connecting0"));
        QCOMPARE(prompts_.messages.size(), std::size_t(1));
        QCOMPARE(prompts_.messages.front().text.left(5), QStringLiteral("57 - "));
        QCOMPARE(statusBox()->text(), QStringLiteral("Connection Error"));
        QCOMPARE(prompts_.beeps, 1);
        // The port is shown closed, ready to be opened again.
        QVERIFY(!window_->portIsOpen());
        QVERIFY(button("cmdOper_0")->isEnabled());
        QVERIFY(!button("cmdOper_1")->isEnabled());
        QVERIFY(!button("DwnloadButton")->isEnabled());
        QVERIFY(button("cmdSelectFile")->isEnabled());
        QCOMPARE(button("DwnloadButton")->text(), QStringLiteral("&Download"));
        QVERIFY(window_->close());
    }

    // Stop, by its button or by closing and answering Stop: the download ends at the next
    // exchange as "Cancelled" and, for the close, the window goes once it has ended.
    void stopAndStopToClose() {
        gate_ = std::make_unique<GatePort>();
        opener_ = std::make_unique<TestPortOpener>([this](std::string_view, korvath::link::Clock&) {
            return korvath::ports::OpenedPort{std::make_unique<BorrowedPort>(*gate_), {}};
        });
        makeWindow(nullptr);
        openPortAndChoose(smallImage());
        const QRect place = button("DwnloadButton")->geometry();
        for (const bool byClosing : {false, true}) {
            QSignalSpy ended(window_.get(), &FrmUtil::downloadEnded);
            QTest::mouseClick(button("DwnloadButton"), Qt::LeftButton);
            QTRY_COMPARE(statusBox()->text(), QStringLiteral("Connecting"));
            QCOMPARE(button("DwnloadButton")->geometry(), place);
            if (byClosing) {
                prompts_.stopAnswers = {true};
                QVERIFY(!window_->close());
            } else {
                QTest::keyClick(window_.get(), Qt::Key_D, Qt::AltModifier);
            }
            QVERIFY(ended.wait(kDownloadTimeoutMs));
            QCOMPARE(statusBox()->text(), QStringLiteral("Cancelled"));
            QVERIFY(window_->findChild<QLabel*>(QStringLiteral("details"))
                        ->text()
                        .startsWith(QStringLiteral("Cancelled before the password")));
            QTRY_COMPARE(window_->isVisible(), !byClosing);
        }
    }
};

QTEST_MAIN(WindowDownloadTest)
#include "window_download_test.moc"
