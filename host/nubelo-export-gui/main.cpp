// nubelo-export-gui: an export window around the plug-in, as the photo application shows it.

#include "GuiCommandLine.h"
#include "GuiHost.h"
#include "NetworkThread.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

void writeTo(FILE *stream, const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

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

int answer(const GuiCommandLine &line) {
    if (line.action == GuiCommandLine::Action::Help)
        writeTo(stdout, GuiCommandLine::usage());
    else
        writeTo(stdout,
                QStringLiteral("nubelo-export-gui %1\n").arg(QStringLiteral(NUBELO_VERSION)));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // A terminal that goes away must not kill the program mid-run: the session would stay open.
    std::signal(SIGPIPE, SIG_IGN);

    // --help and --version answer without a display to connect to.
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw.append(QFile::decodeName(argv[i]));
    if (const std::optional<GuiCommandLine> early = GuiCommandLine::parse(raw, nullptr);
        early && early->action != GuiCommandLine::Action::Export)
        return answer(*early);

    QApplication application(argc, argv); // takes Qt's own options (-platform, -style) away
    QApplication::setApplicationName(QStringLiteral("nubelo-export-gui"));
    QApplication::setApplicationVersion(QStringLiteral(NUBELO_VERSION));

    QString why;
    const std::optional<GuiCommandLine> line =
        GuiCommandLine::parse(QApplication::arguments().mid(1), &why);
    if (!line) {
        writeTo(stderr,
                QStringLiteral("nubelo-export-gui: %1\n%2").arg(why, GuiCommandLine::usage()));
        return 2;
    }
    if (line->action != GuiCommandLine::Action::Export)
        return answer(*line);
    for (const QString &photo : line->photos) {
        if (const platform::MaybeError problem = PhotoHost::checkImageFile(photo)) {
            writeTo(stderr,
                    QStringLiteral("nubelo-export-gui: %1\n").arg(problem->localizedDescription));
            return 2;
        }
    }

    int code = 0;
    {
        GuiHost host;
        if (!host.start(*line, &why)) {
            writeTo(stderr, QStringLiteral("nubelo-export-gui: %1\n").arg(why));
            if (hasScreenToAsk())
                QMessageBox::critical(nullptr, QStringLiteral("Nubelo Exporter"), why);
            code = 1;
        } else {
            if (const QString line = host.embeddedSiteLine(); !line.isEmpty())
                writeTo(stderr, QStringLiteral("nubelo-export-gui: %1\n").arg(line));
            closeOnSignals(host.window());
            host.window()->show();
            // The window closes only once no run is under way, and its closing ends the loop.
            code = QApplication::exec();
        }
    } // the export thread, the window, the plug-in, the embedded site
    platform::shutdown();
    return code;
}
