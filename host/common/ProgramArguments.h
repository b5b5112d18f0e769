#pragma once

#include "Error.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <vector>

// The command line both host programs share: -h/--help, --version, the photos as positional
// arguments ("--" ends the options, "-" is a photo), the program's own options, and one way to
// answer. QCommandLineParser reads the arguments; every reason given is ours, built from what
// it found, never its own text, so that what users see (and scripts match) does not follow
// Qt's wording or language. Main thread only.
class ProgramArguments {
public:
    enum class Action { Run, Help, Version };

    // A usage error: exit code 2, which every caller of the programs relies on.
    static platform::Error usageError(const QString &why);

    ProgramArguments();

    // An option without a value.
    void addFlag(const QStringList &names);
    // An option with a value; `why` is the usage error when the value is absent or empty, or,
    // for a refused option, whenever it is given at all.
    void addValue(const QStringList &names, const QString &why, bool refused = false);

    // No photos are fine when this flag is given (an action on its own).
    void allowNoPhotosWith(const QString &flag) { mNoPhotosFlag = flag; }

    // Reads the arguments after the program's name. Help or version, when asked for anywhere,
    // wins over any usage error. Otherwise a usage error says in one line what is wrong: a refused
    // option, an unknown option, a value missing or given to an option without one, or no photos.
    // Call once.
    platform::MaybeError parse(const QStringList &arguments);

    Action action() const;
    bool isSet(const QString &name) const { return mParser.isSet(name); }
    // The last value given; empty when none.
    QString value(const QString &name) const { return mParser.value(name); }
    QStringList photos() const { return mParser.positionalArguments(); }

    // Help or version: writes `usage` or "PROGRAM VERSION" to standard output; answers 0.
    static int answer(Action action, const QString &program, const QString &usage);
    // Writes each line of `text` to standard error as "PROGRAM: line"; nothing when empty.
    static void warn(const QString &program, const QString &text);
    // warn() with the error's text; answers the error's code, the exit code.
    static int fail(const QString &program, const platform::Error &error);

private:
    struct Reason {
        QString name;
        QString why;
    };
    QCommandLineParser mParser;
    QStringList mFlags; // the long names of options without a value
    std::vector<Reason> mValues;
    std::vector<Reason> mRefused;
    QString mNoPhotosFlag;
};
