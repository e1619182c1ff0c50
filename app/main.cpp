// The program korvath: one window. `korvath FILE` starts with FILE chosen; --version and --help
// print and end before anything needs a display.
#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMetaObject>
#include <QTimer>
#include <stop_token>

#include "korvath/version.h"
#include "platform/stop_signals.h"
#include "ports/system/system_ports.h"
#include "ui/frm_util.h"
#include "ui/prompts.h"
#include "ui/qt_services.h"
#include "window/usage.h"

using korvath::window::kUsage;

int main(int argc, char* argv[]) {
    // Before QApplication, which aborts without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("korvath %s\n", korvath::kVersionText);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvath"));
    // Desktops match the window to its installed entry, korvath.desktop, and show that icon.
    QApplication::setDesktopFileName(QStringLiteral("korvath"));
    // One look on every desktop, so that the fixed layout fits the same everywhere.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/korvath.xpm")));

    // Qt has taken its own options out; what is left is at most one file.
    QStringList arguments = QApplication::arguments().mid(1);
    arguments.removeOne(QStringLiteral("--"));
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')) && !QFile::exists(argument)) {
            std::fprintf(stderr, "korvath: unknown option '%s'\n%s", qPrintable(argument), kUsage);
            return 2;
        }
    }
    if (arguments.size() > 1) {
        std::fprintf(stderr, "korvath: one image file at most\n%s", kUsage);
        return 2;
    }

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
    korvath::ui::QtSettingsStore settings;
    korvath::ui::FrmUtil window(
        {prompts, ports, nullptr, &settings, arguments.isEmpty() ? QString() : arguments.front()});
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
