#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace bench {

// One whole process, timed from before its spawn until it has been reaped.
struct Command {
    QString program;
    QStringList arguments;
    QStringList environment; // NAME=value pairs put over the inherited environment
};

struct Outcome {
    bool started = false;
    int exitCode = -1; // -1 when it did not exit normally
    double seconds = 0;
    double cpuSeconds = 0;    // user + system
    long contextSwitches = 0; // voluntary and involuntary: how often it handed the CPU over
    QByteArray out;
    QByteArray err;

    bool ok() const { return started && exitCode == 0; }
    // The program, its exit and the end of its standard error, for a failure message.
    QString describe(const Command &command) const;
    // True when the program did not end well, with describe() in *why.
    bool failed(const Command &command, QString *why) const {
        if (ok())
            return false;
        *why = describe(command);
        return true;
    }
};

// Runs `command` with standard input from /dev/null and both outputs captured in memory.
Outcome run(const Command &command);

// The program's full path when it is on PATH (or given as a path that is executable).
QString findProgram(const QString &name);

} // namespace bench
