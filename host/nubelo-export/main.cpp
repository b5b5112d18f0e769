// nubelo-export: publishes photos to Nubelo from the command line, through the export plug-in.

#include "CommandLine.h"
#include "ExportCommand.h"
#include "RememberedPassword.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>

int main(int argc, char **argv) {
    // A reader that goes away (a pipe into head) must not kill the program mid-run: the
    // session would stay open on the site.
    std::signal(SIGPIPE, SIG_IGN);

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nubelo-export"));

    CommandLine line;
    const QString program = QStringLiteral("nubelo-export");
    if (const platform::MaybeError error = line.parse(arguments))
        return ProgramArguments::fail(program, *error);
    if (line.action != CommandLine::Action::Run)
        return ProgramArguments::answer(line.action, program, CommandLine::usage());
    if (line.forget)
        return remembered::forget(line.email);
    int code = 0;
    {
        ExportCommand command(line);
        code = command.run();
    } // torn down here, before the application object goes
    return code;
}
