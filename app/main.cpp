// The program korvath: one window. `korvath FILE` starts with FILE chosen; --version and --help
// print and end before anything needs a display.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMetaObject>
#include <QTimer>
#include <stop_token>

#include "korvath/version.h"
#include "platform/escape.h"
#include "platform/platform.h"
#include "platform/stop_signals.h"
#include "ports/system/system_ports.h"
#include "ui/frm_util.h"
#include "ui/prompts.h"
#include "ui/qt_services.h"
#include "window/usage.h"

using korvath::window::kUsage;

namespace {

// The longest exchange (an erase's reply time-out) and the exit frame after it, with room.
constexpr std::chrono::milliseconds kExitFrameDeadline{10000};

std::atomic<korvath::ui::FrmUtil*> shownWindow{nullptr};
QtMessageHandler previousHandler = nullptr;

void stopDownloadOnExit() {
    if (korvath::ui::FrmUtil* window = shownWindow.exchange(nullptr))
        window->stopForExit(kExitFrameDeadline);
}

void stopDownloadOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (previousHandler != nullptr) previousHandler(type, context, text);
    if (type == QtFatalMsg) stopDownloadOnExit();
}

}  // namespace

int main(int argc, char* argv[]) {
    korvath::platform::failOversizeWrites();
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

    // Without a display the window cannot start; a terminal user has the command line twin.
    const auto unset = [](const char* name) {
        const char* value = std::getenv(name);
        return value == nullptr || *value == '\0';
    };
    if (unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM")) {
        std::fputs(
            "korvath: the window needs a graphical session (no display is set); korvath-cli "
            "does the same job on a terminal\n",
            stderr);
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvath"));
    // Desktops match the window to its installed entry, korvath.desktop, and show that icon.
    QApplication::setDesktopFileName(QStringLiteral("korvath"));
    // One look on every desktop, so that the fixed layout fits the same everywhere.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/korvath.xpm")));

    // Qt has taken its own options out of argv; what is left is at most one file. Its name is
    // taken as the bytes given: a name that is not UTF-8 still opens.
    std::vector<std::string> arguments;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--" && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        std::error_code error;
        if (!optionsEnded && argument.starts_with('-') &&
            !std::filesystem::exists(argument, error)) {
            std::fprintf(stderr, "korvath: unknown option '%s'\n%s",
                         korvath::platform::printable(argument).c_str(), kUsage);
            return 2;
        }
        arguments.push_back(argument);
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
    korvath::ports::SystemPorts ports(korvath::ports::SystemPorts::kWindowListAdvice);
    korvath::ui::QtSettingsStore settings;
    korvath::ui::FrmUtil window(
        {prompts, ports, nullptr, &settings,
         arguments.empty() ? std::filesystem::path() : std::filesystem::path(arguments.front())});
    window.show();

    // The display connection can break (the X server ends, the connection is killed); the
    // toolkit then ends the process from inside its event handling. A download must not leave
    // the controller in programming mode on that path either: the process waits for the
    // download's exit frame, bounded, whichever way it ends.
    shownWindow = &window;
    std::atexit(stopDownloadOnExit);
    previousHandler = qInstallMessageHandler(stopDownloadOnFatal);

    // For the documentation: scripts/screenshot.sh asks for a picture of the window and quits.
    const QString screenshot = qEnvironmentVariable("KORVATH_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(0, &window, [&window, &screenshot] {
            const bool saved = window.grab().save(screenshot);
            QApplication::exit(saved ? 0 : 1);
        });
    }
    const int status = QApplication::exec();
    // The window goes with this scope; an exit from here on has no download to wait for.
    shownWindow = nullptr;
    return status;
}
