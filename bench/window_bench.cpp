// The main window under measurement, run the way a user runs it but without a user: the same
// window, download thread and port opener as the program, driven through its buttons.
//
//   korvath_bench_window --first-paint          prints first_paint_ms (from main) and quits
//   korvath_bench_window --download PORT IMAGE  prints each status line as the window shows it;
//                                               exit 0 when the download ended with "Done!"
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "ports/system/system_ports.h"
#include "ui/frm_util.h"
#include "ui/prompts.h"

namespace {

using korvath::ui::FrmUtil;

/// The user: picks the given image, and reads every box aloud to standard output.
class ScriptedPrompts final : public korvath::ui::Prompts {
  public:
    explicit ScriptedPrompts(QString image) : image_(std::move(image)) {}

    void message(QWidget*, korvath::ui::MessageIcon, const QString& title,
                 const QString& text) override {
        std::printf("message %s: %s\n", qPrintable(title), qPrintable(text));
        std::fflush(stdout);
    }
    std::optional<QString> chooseImageFile(QWidget*, const QString&) override {
        if (image_.isEmpty()) return std::nullopt;
        return std::exchange(image_, QString());
    }
    void beep() override {}
    bool askToStop(QWidget*, const QString&, const QString&) override { return false; }

  private:
    QString image_;
};

/// Notes the first paint of the window; the frame is complete once the event loop is back.
class FirstPaint final : public QObject {
  public:
    explicit FirstPaint(const QElapsedTimer& sinceMain) : sinceMain_(sinceMain) {}

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, [this] {
                std::printf("first_paint_ms %.3f\n",
                            static_cast<double>(sinceMain_.nsecsElapsed()) / 1e6);
                std::fflush(stdout);
                QApplication::exit(0);
            });
        }
        return false;
    }

  private:
    const QElapsedTimer& sinceMain_;
    bool seen_ = false;
};

template <typename T>
T* child(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr) {
        std::fprintf(stderr, "korvath_bench_window: the window has no %s\n", name);
        std::exit(2);
    }
    return widget;
}

int usage() {
    std::fprintf(stderr,
                 "usage: korvath_bench_window --first-paint\n"
                 "       korvath_bench_window --download PORT IMAGE\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    const bool firstPaint = argc == 2 && std::strcmp(argv[1], "--first-paint") == 0;
    const bool download = argc == 4 && std::strcmp(argv[1], "--download") == 0;
    if (!firstPaint && !download) return usage();

    // As the program sets itself up, so that the window costs what it costs there.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvath"));
    QApplication::setStyle(QStringLiteral("Fusion"));

    ScriptedPrompts prompts(download ? QString::fromLocal8Bit(argv[3]) : QString());
    korvath::ports::SystemPorts ports;
    FrmUtil window({prompts, ports});

    FirstPaint paint(sinceMain);
    if (firstPaint) window.installEventFilter(&paint);
    window.show();
    if (firstPaint) return QApplication::exec();

    QObject::connect(&window, &FrmUtil::statusShown, [](const QString& text, quint32) {
        std::printf("%s\n", qPrintable(text));
        std::fflush(stdout);
    });
    QObject::connect(&window, &FrmUtil::downloadEnded, [] { QApplication::exit(0); });

    child<QComboBox>(window, "Apriti")->setEditText(QString::fromLocal8Bit(argv[2]));
    // The port opens on the download thread; the window shows it once that thread reports.
    QEventLoop portReported;
    QObject::connect(&window, &FrmUtil::portStateShown, &portReported, &QEventLoop::quit);
    child<QAbstractButton>(window, "cmdOper_0")->click();
    portReported.exec();
    if (!window.portIsOpen()) {
        std::fprintf(stderr, "korvath_bench_window: port %s did not open\n", argv[2]);
        return 2;
    }
    child<QAbstractButton>(window, "cmdSelectFile")->click();
    auto* downloadButton = child<QAbstractButton>(window, "DwnloadButton");
    if (!downloadButton->isEnabled()) {
        std::fprintf(stderr, "korvath_bench_window: the window did not take %s\n", argv[3]);
        return 2;
    }
    downloadButton->click();
    QApplication::exec();
    return window.lastEnding() == korvath::download::Ending::Done ? 0 : 1;
}
