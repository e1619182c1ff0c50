// The window end to end: frmUtil with its real port opener (the system serial port on the download
// thread) against a korvath-sim process over a pseudo-terminal, on the wall clock. Only the
// message boxes and the file dialog are scripted.
#include <QByteArray>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "ports/system/system_ports.h"
#include "ui/frm_util.h"
#include "ui/prompts.h"

using korvath::ui::FrmUtil;

namespace {

/// Boxes that only record their title, a dialog that confirms the one file it is given.
class ScriptedPrompts final : public korvath::ui::Prompts {
  public:
    QString file;
    QStringList boxes;
    int beeps = 0;
    std::function<void(const QString& title)> onMessage;

    void message(QWidget*, korvath::ui::MessageIcon, const QString& title,
                 const QString&) override {
        boxes << title;
        if (onMessage) onMessage(title);
    }
    std::optional<QString> chooseImageFile(QWidget*, const QString&) override {
        if (file.isEmpty()) return std::nullopt;
        return std::exchange(file, QString());
    }
    void beep() override { ++beeps; }
    bool askToStop(QWidget*, const QString&, const QString&) override { return false; }
};

// A small image at line rate takes about 20 s (1 s per sector, the 8 s reset wait).
constexpr int kDownloadBoundMs = 90000;
constexpr int kProcessBoundMs = 10000;
constexpr quint32 kFlashBase = 0xE00000;
constexpr int kSectorSize = 0x10000;

int sectorsOf(int model) {
    return model == 3 ? 9 : 8;
}

/// korvath-sim, started with `arguments`; ready once it has printed its port.
class SimProcess {
  public:
    SimProcess(const QString& dumpPath, QStringList arguments) : dumpPath_(dumpPath) {
        arguments << QStringLiteral("--dump") << dumpPath;
        process_.start(qEnvironmentVariable("KORVATH_SIM"), arguments);
        QDeadlineTimer deadline(kProcessBoundMs);
        while (!process_.canReadLine() && !deadline.hasExpired())
            process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        port_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    }
    ~SimProcess() { stop(); }

    [[nodiscard]] const QString& port() const { return port_; }

    /// Stops it; with --log, what it logged: one request and its reply a line, "exit -> 06".
    QStringList stopAndLog() {
        stop();
        return QString::fromLocal8Bit(process_.readAllStandardError())
            .split('\n', Qt::SkipEmptyParts);
    }

    /// Stops it by its process id; the dump is written on the way out.
    QByteArray stopAndDump() {
        stop();
        QFile dump(dumpPath_);
        return dump.open(QIODevice::ReadOnly) ? dump.readAll() : QByteArray();
    }

  private:
    void stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(kProcessBoundMs)) process_.kill();
        process_.waitForFinished(kProcessBoundMs);
    }

    QString dumpPath_;
    QProcess process_;
    QString port_;
};

/// The lines of an image made by srec_cat: 64 records from E00000 and the record at E7FFC0;
/// for model 3 a second E7FFC0 record before the end line (kind 2) after records in sector 8.
QStringList srecCatImage(int model) {
    auto run = [](const QStringList& blocks) {
        QStringList arguments = blocks;
        arguments << "-header"
                  << "WINDOW"
                  << "-execution-start-address"
                  << "0"
                  << "-output_block_size=64"
                  << "-address-length=3"
                  << "-disable=data-count"
                  << "-o"
                  << "-"
                  << "-motorola";
        QProcess srecCat;
        srecCat.start(QStringLiteral(KORVATH_SREC_CAT), arguments);
        srecCat.waitForFinished(kProcessBoundMs);
        return QString::fromLatin1(srecCat.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    };
    QStringList blocks = {
        "-generate", "0xE00000", "0xE01000", "-repeat-string", "Window end-to-end image. ",
        "-generate", "0xE7FFC0", "0xE80000", "-repeat-string", "FIRST LAST "};
    if (model == 3) {
        blocks << "-generate"
               << "0xE80000"
               << "0xE80400"
               << "-repeat-string"
               << "Sector 8. ";
    }
    QStringList lines = run(blocks);
    if (model == 3) {
        const QStringList moved =
            run({"-generate", "0xE7FFC0", "0xE80000", "-repeat-string", "MOVED TO E8FFC0 "});
        lines.insert(lines.size() - 1, moved.at(1));
    }
    return lines;
}

QString writeImage(const QTemporaryDir& dir, const QString& name, const QStringList& lines) {
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly)) return {};
    for (const QString& line : lines) file.write(line.toLatin1() + "\r\n");
    return file.fileName();
}

/// The flash of an erased `model` device after the download of `lines`; on model 3 the data
/// line before the end line, when it is the E7FFC0 record, lands at E8FFC0.
QByteArray expectedFlash(const QStringList& lines, int model) {
    QByteArray flash(sectorsOf(model) * kSectorSize, char(0xFF));
    qsizetype end = 1;
    while (end < lines.size() && !lines[end].startsWith("S8")) ++end;
    for (qsizetype i = 1; i < end; ++i) {
        quint32 address = lines[i].mid(4, 6).toUInt(nullptr, 16);
        if (model == 3 && i == end - 1 && lines[i].startsWith("S244E7FFC0")) address = 0xE8FFC0;
        const QByteArray data = QByteArray::fromHex(lines[i].mid(10, 128).toLatin1());
        flash.replace(static_cast<qsizetype>(address - kFlashBase), data.size(), data);
    }
    return flash;
}

QStringList cleanStatusTexts(int model) {
    QStringList texts = {"Idle", "Connecting", "Sending Password", "Erasing external flash"};
    for (int i = 0; i < sectorsOf(model); ++i)
        texts << QStringLiteral("Blank external flash S%1").arg(i);
    texts << "Programming!"
          << "Resetting target"
          << "Done!";
    return texts;
}

}  // namespace

class WindowE2eTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir dir_;
    ScriptedPrompts prompts_;
    korvath::ports::SystemPorts ports_;
    std::unique_ptr<FrmUtil> window_;
    QStringList events_;  // status texts and boxes, in the order the window showed them

    QPushButton* button(const char* name) {
        return window_->findChild<QPushButton*>(QString::fromLatin1(name));
    }

    void openPortAndChoose(const QString& port, const QString& image) {
        window_->findChild<QComboBox*>(QStringLiteral("Apriti"))->setEditText(port);
        QSignalSpy shown(window_.get(), &FrmUtil::portStateShown);
        QTest::mouseClick(button("cmdOper_0"), Qt::LeftButton);
        QVERIFY(shown.wait());
        QVERIFY2(window_->portIsOpen(), qPrintable(port));
        prompts_.file = image;
        QTest::mouseClick(button("cmdSelectFile"), Qt::LeftButton);
        QVERIFY(button("DwnloadButton")->isEnabled());
        events_.clear();
    }

    void downloadAndWait() {
        QSignalSpy ended(window_.get(), &FrmUtil::downloadEnded);
        QTest::mouseClick(button("DwnloadButton"), Qt::LeftButton);
        QVERIFY(ended.wait(kDownloadBoundMs));
    }

    QString status() { return window_->findChild<QLineEdit*>(QStringLiteral("DwStatus"))->text(); }

  private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(QFile::exists(qEnvironmentVariable("KORVATH_SIM")),
                 "KORVATH_SIM must name the korvath-sim program");
        QVERIFY(dir_.isValid());
    }

    void init() {
        prompts_.boxes.clear();
        prompts_.beeps = 0;
        events_.clear();
        window_ = std::make_unique<FrmUtil>(korvath::ui::WindowServices{prompts_, ports_});
        connect(window_.get(), &FrmUtil::statusShown, this,
                [this](const QString& text) { events_ << text; });
        prompts_.onMessage = [this](const QString& title) { events_ << "box: " + title; };
        window_->show();
    }

    void cleanup() {
        if (window_ && window_->portIsOpen())
            QTest::mouseClick(button("cmdOper_1"), Qt::LeftButton);
        window_.reset();
    }

    // Model 3 with an image of kind 2: the first E7FFC0 record stays, the last one moves.
    void kindTwoImageIntoModelThree() {
        const QStringList lines = srecCatImage(3);
        const QString image = writeImage(dir_, "KIND2.SHX", lines);
        SimProcess sim(dir_.filePath("kind2.dump"), {"--model", "3"});
        QVERIFY(sim.port().startsWith("/dev/"));
        openPortAndChoose(sim.port(), image);
        downloadAndWait();

        QCOMPARE(events_, cleanStatusTexts(3));
        QVERIFY2(prompts_.boxes.empty(), qPrintable(prompts_.boxes.join(", ")));
        QCOMPARE(prompts_.beeps, 1);
        QCOMPARE(sim.stopAndDump(), expectedFlash(lines, 3));
    }

    // A refused record ends one download; the next one on the same open port, with the same
    // controller, erases what the first one wrote and succeeds.
    void faultThenCleanDownloadOnTheSamePort() {
        const QStringList lines = srecCatImage(1);
        const QString image = writeImage(dir_, "APP.SHX", lines);
        // The card keeps the bootloader answering after the first download's exit frame.
        SimProcess sim(dir_.filePath("same-port.dump"), {"--nak-program", "5", "--card"});
        openPortAndChoose(sim.port(), image);
        downloadAndWait();
        QCOMPARE(status(), QStringLiteral("Flash Error"));
        QVERIFY2(prompts_.boxes.empty(), qPrintable(prompts_.boxes.join(", ")));

        events_.clear();
        downloadAndWait();
        QVERIFY(window_->portIsOpen());
        QVERIFY2(events_.contains("Erase external flash S0"), qPrintable(events_.join(", ")));
        QCOMPARE(events_.mid(events_.size() - 3),
                 (QStringList{"Resetting target", "box: Programming Card check", "Done!"}));
        QCOMPARE(prompts_.beeps, 2);
        QCOMPARE(sim.stopAndDump(), expectedFlash(lines, 1));
    }

    // A stop signal ends the program's event loop and the window goes, also while it refuses
    // to close: the download stops at its next exchange, the exit frame its last request.
    void windowGoingDuringADownload() {
        const QString image = writeImage(dir_, "GOING.SHX", srecCatImage(1));
        SimProcess sim(dir_.filePath("going.dump"), {"--log"});
        openPortAndChoose(sim.port(), image);
        QTest::mouseClick(button("DwnloadButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(events_.contains("Programming!"), kDownloadBoundMs);
        QElapsedTimer going;
        going.start();
        window_.reset();
        QVERIFY2(going.elapsed() < 3000, "the window waited for the download's end");
        const QStringList requests = sim.stopAndLog();
        QVERIFY(!requests.isEmpty());
        QVERIFY2(requests.last().contains("exit -> 06"), qPrintable(requests.last()));
        QVERIFY(requests.filter(" program ").size() < 65);
    }
};

QTEST_MAIN(WindowE2eTest)
#include "window_e2e_test.moc"
