// nubelo-export: publishes photos to Nubelo from the command line, through the export plug-in.

#include "CommandLine.h"
#include "ExportCommand.h"
#include "TerminalIO.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>

#include <unistd.h>

int main(int argc, char **argv) {
    // A reader that goes away (a pipe into head) must not kill the program mid-run: the
    // session would stay open on the site.
    std::signal(SIGPIPE, SIG_IGN);

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nubelo-export"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NUBELO_VERSION));

    QString why;
    const std::optional<CommandLine> line = CommandLine::parse(arguments, &why);
    if (!line) {
        terminal::writeText(STDERR_FILENO, QStringLiteral("nubelo-export: %1\n").arg(why));
        return ExportCommand::UsageError;
    }
    switch (line->action) {
    case CommandLine::Action::Help:
        terminal::writeText(STDOUT_FILENO, CommandLine::usage());
        return 0;
    case CommandLine::Action::Version:
        terminal::writeText(
            STDOUT_FILENO,
            QStringLiteral("nubelo-export %1\n").arg(QStringLiteral(NUBELO_VERSION)));
        return 0;
    case CommandLine::Action::Export:
        break;
    }
    int code = 0;
    {
        ExportCommand command(*line);
        code = command.run();
    } // torn down here, before the application object goes
    return code;
}
