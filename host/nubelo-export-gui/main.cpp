// nubelo-export-gui: an export window around the plug-in, as the photo application shows it.

#include "GuiCommandLine.h"
#include "GuiHost.h"
#include "NetworkThread.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Only a screen someone looks at gets an alert; an offscreen run would wait on it for ever.
bool hasScreenToAsk() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// Ctrl-C in the terminal that started the window, or a plain kill, closes the window as its close
// button would: a run is cancelled and the session signed out before the program ends. A second
// signal ends the program at once.
int gSignalPipe[2] = {-1, -1};

void onSignal(int number) {
    std::signal(number, SIG_DFL);
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
}

void closeOnSignals(QWidget *window) {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte = 0;
        while (::read(gSignalPipe[0], &byte, 1) == 1) {
        }
        window->close();
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

} // namespace

int main(int argc, char **argv) {
    // A terminal that goes away must not kill the program mid-run: the session would stay open.
    std::signal(SIGPIPE, SIG_IGN);

    // --help and --version answer without a display to connect to; a usage error waits for
    // the application, which takes Qt's own options (-platform, -style) away first.
    const QString program = QStringLiteral("nubelo-export-gui");
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw.append(QFile::decodeName(argv[i]));
    if (GuiCommandLine early; !early.parse(raw) && early.action != GuiCommandLine::Action::Run)
        return ProgramArguments::answer(early.action, program, GuiCommandLine::usage());

    QApplication application(argc, argv);
    QApplication::setApplicationName(program);

    GuiCommandLine line;
    if (const platform::MaybeError error = line.parse(QApplication::arguments().mid(1)))
        return ProgramArguments::fail(program, *error);
    if (line.action != GuiCommandLine::Action::Run)
        return ProgramArguments::answer(line.action, program, GuiCommandLine::usage());
    if (const platform::MaybeError refused = hostsetup::checkPhotos(line.photos))
        return ProgramArguments::fail(program, *refused);

    int code = 0;
    {
        GuiHost host;
        if (platform::MaybeError error = host.start(line)) {
            ProgramArguments::warn(program, error->localizedDescription);
            code = 1;
            if (hasScreenToAsk())
                QMessageBox::critical(nullptr, QStringLiteral("Nubelo Exporter"),
                                      error->localizedDescription);
        } else {
            if (const QString note = host.embeddedSiteLine(); !note.isEmpty())
                ProgramArguments::warn(program, note);
            closeOnSignals(host.window());
            host.window()->show();
            // The window closes only once no run is under way, and its closing ends the loop.
            code = QApplication::exec();
        }
    } // the export thread, the window, the plug-in, the embedded site
    platform::shutdown();
    return code;
}
