#pragma once

#include "Error.h"
#include "ProgramArguments.h"

#include <QString>
#include <QStringList>

// The options of nubelo-export, read from its arguments. The password is deliberately not an
// option: a command line is visible to every user of the machine (ps, /proc).
struct CommandLine {
    using Action = ProgramArguments::Action;

    Action action = Action::Run;
    QString email;              // null when not given
    bool passwordStdin = false; // the password is the first line of standard input
    QString dir = QStringLiteral("/tmp/NubeloExporter");
    bool yes = false;          // answer Replace when scratch files of an earlier run are there
    bool quiet = false;        // no progress display
    bool remember = false;     // keep the password that signed in, in the keyring
    bool forget = false;       // delete the password kept for --email, and nothing else
    bool skipUploaded = false; // leave out the photos recorded as sent to this site and account
    QStringList photos;
    // The run's PNG files stay in `dir` when it ends, for a person who wants them.
    bool keepFiles = false;

    // Reads the arguments after the program's name (ProgramArguments::parse), keeping the
    // defaults for what is not given.
    platform::MaybeError parse(const QStringList &arguments);
    static QString usage();
};

// Why the export folder cannot be used, as a usage error; nothing when it can (it exists, is a
// folder of ours that we may write in, or it can be created).
platform::MaybeError checkExportDir(const QString &dir);
