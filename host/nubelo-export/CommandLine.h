#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The options of nubelo-export, read from its arguments. The password is deliberately not an
// option: a command line is visible to every user of the machine (ps, /proc).
struct CommandLine {
    enum class Action { Export, Help, Version };

    Action action = Action::Export;
    QString email;              // null when not given
    bool passwordStdin = false; // the password is the first line of standard input
    QString dir = QStringLiteral("/tmp/NubeloExporter");
    bool yes = false;   // answer Replace when scratch files of an earlier run are there
    bool quiet = false; // no progress display
    QStringList photos;

    // The arguments after the program's name. On a usage error answers nothing and says why in
    // one line.
    static std::optional<CommandLine> parse(const QStringList &arguments, QString *why);
    static QString usage();
};

// Why the export folder cannot be used, in one line; nothing when it can (it exists, is a
// folder of ours that we may write in, or it can be created).
std::optional<QString> checkExportDir(const QString &dir);
