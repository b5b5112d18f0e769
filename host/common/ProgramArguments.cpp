#include "ProgramArguments.h"

#include <cstdio>

namespace {

void writeTo(FILE *stream, const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

ProgramArguments::ProgramArguments() {
    addFlag({QStringLiteral("h"), QStringLiteral("help")});
    addFlag({QStringLiteral("version")});
}

void ProgramArguments::addFlag(const QStringList &names) {
    mParser.addOption(QCommandLineOption(names));
    mFlags.append(names);
}

void ProgramArguments::addValue(const QStringList &names, const QString &why, bool refused) {
    // A refused option takes a value too: "--password SECRET" must not leave SECRET behind as
    // a photo.
    mParser.addOption(QCommandLineOption(names, {}, QStringLiteral("value")));
    (refused ? mRefused : mValues).push_back({names.first(), why});
}

platform::Error ProgramArguments::usageError(const QString &why) {
    return platform::Error{QStringLiteral("usage"), 2, why};
}

platform::MaybeError ProgramArguments::parse(const QStringList &arguments) {
    // The parser skips the first argument, the program's name. It goes on after a wrong
    // argument, so what it found (and what it did not) is all there to give our reason.
    const bool clean = mParser.parse(QStringList{QString()} + arguments);
    if (action() != Action::Run)
        return std::nullopt;
    for (const Reason &refused : mRefused) {
        if (mParser.isSet(refused.name))
            return usageError(refused.why);
    }
    if (const QStringList unknown = mParser.unknownOptionNames(); !unknown.isEmpty()) {
        const QString name = unknown.first(); // "-v" and "--album" alike come without dashes
        return usageError(QStringLiteral("unknown option %1%2 (see --help)")
                              .arg(QLatin1String(name.size() == 1 ? "-" : "--"), name));
    }
    for (const Reason &value : mValues) {
        // Absent (it was the last argument) or empty ("--dir=").
        if (mParser.isSet(value.name) && mParser.value(value.name).isEmpty())
            return usageError(value.why);
    }
    if (!clean) {
        // Nothing unknown and no value missing: the one wrong left is "--flag=value".
        for (const QString &argument : arguments) {
            if (argument == QLatin1String("--"))
                break;
            if (const QString name = argument.section(QLatin1Char('='), 0, 0);
                name.startsWith(QLatin1String("--")) && name != argument &&
                mFlags.contains(name.mid(2)))
                return usageError(QStringLiteral("%1 takes no value").arg(name));
        }
        return usageError(QStringLiteral("the arguments cannot be read (see --help)"));
    }
    if (photos().isEmpty() && (mNoPhotosFlag.isEmpty() || !isSet(mNoPhotosFlag)))
        return usageError(QStringLiteral("no photos given (see --help)"));
    return std::nullopt;
}

ProgramArguments::Action ProgramArguments::action() const {
    if (mParser.isSet(QStringLiteral("help")))
        return Action::Help;
    if (mParser.isSet(QStringLiteral("version")))
        return Action::Version;
    return Action::Run;
}

int ProgramArguments::answer(Action action, const QString &program, const QString &usage) {
    writeTo(stdout, action == Action::Help
                        ? usage
                        : QStringLiteral("%1 %2\n").arg(program, QStringLiteral(NUBELO_VERSION)));
    return 0;
}

void ProgramArguments::warn(const QString &program, const QString &text) {
    if (text.isEmpty())
        return;
    QString lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines += QStringLiteral("%1: %2\n").arg(program, line);
    writeTo(stderr, lines);
}

int ProgramArguments::fail(const QString &program, const platform::Error &error) {
    warn(program, error.localizedDescription);
    return error.code;
}
