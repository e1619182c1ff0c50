// The program korvath: one window, nothing else. It takes no command line.
#include <QApplication>
#include <QIcon>
#include <QMetaObject>
#include <QTimer>
#include <stop_token>

#include "platform/stop_signals.h"
#include "ports/qt/system_ports.h"
#include "ui/frm_util.h"
#include "ui/prompts.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvath"));
    // Desktops match the window to its installed entry, korvath.desktop, and show that icon.
    QApplication::setDesktopFileName(QStringLiteral("korvath"));
    // One look on every desktop, so that the fixed layout fits the same everywhere.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/korvath.xpm")));

    // SIGTERM, SIGHUP and Ctrl-C end the event loop even while a download runs, when the
    // window itself refuses to close; going, the window stops the download at its next
    // exchange, with the exit frame, and releases the port. Exit status 128 + the signal.
    using korvath::platform::SignalWatch;
    std::stop_source stop;
    const SignalWatch signalWatch(stop, false);
    const std::stop_callback closeOnSignal(stop.get_token(), [&app] {
        QMetaObject::invokeMethod(
            &app,
            [] {
                QCoreApplication::exit(
                    korvath::platform::cancelledExitCode(SignalWatch::signalNumber()));
            },
            Qt::QueuedConnection);
    });

    korvath::ui::QtPrompts prompts;
    korvath::ports::SystemPorts ports;
    korvath::ui::FrmUtil window({prompts, ports});
    window.show();

    // For the documentation: scripts/screenshot.sh asks for a picture of the window and quits.
    const QString screenshot = qEnvironmentVariable("KORVATH_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(0, &window, [&window, &screenshot] {
            const bool saved = window.grab().save(screenshot);
            QApplication::exit(saved ? 0 : 1);
        });
    }
    return QApplication::exec();
}
