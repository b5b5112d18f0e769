#include "CommandLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

QString CommandLine::usage() {
    return QStringLiteral(
        "usage: nubelo-export [OPTIONS] PHOTO...\n"
        "Publishes photos to your Nubelo account: each photo goes up as a PNG of at most\n"
        "640 x 640 pixels.\n"
        "  --email ADDRESS      e-mail address to sign in with (asked for when absent and a\n"
        "                       terminal is there)\n"
        "  --password-stdin     read the password from the first line of standard input\n"
        "                       (NUBELO_PASSWORD is read too; the password is never taken from\n"
        "                       the command line)\n"
        "  --dir DIR            the export (scratch) directory, default /tmp/NubeloExporter\n"
        "  --yes                answer Replace when files of an earlier run are in the way\n"
        "  --quiet              no progress display\n"
        "  -h, --help           this text\n"
        "  --version            the program's version\n"
        "The site is www.nubelo.example and upload.nubelo.example unless NUBELO_SITE_HOST and\n"
        "NUBELO_UPLOAD_HOST say otherwise; with neither set, a stand-in site is started inside\n"
        "the program and its demo account is used unless --email is given.\n"
        "Exit status: 0 every photo uploaded, 1 the export failed, 2 usage error, 3 sign-in\n"
        "refused or cancelled, 4 nothing exported (files of an earlier run in the way),\n"
        "130 cancelled with Ctrl-C.\n");
}

std::optional<CommandLine> CommandLine::parse(const QStringList &arguments, QString *why) {
    const auto fail = [why](const QString &reason) -> std::optional<CommandLine> {
        if (why != nullptr)
            *why = reason;
        return std::nullopt;
    };

    CommandLine line;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) ||
            argument == QLatin1String("-")) {
            line.photos.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString value;
        bool hasValue = false;
        if (argument.startsWith(QLatin1String("--"))) {
            const qsizetype equals = argument.indexOf(QLatin1Char('='));
            if (equals > 0) {
                value = argument.mid(equals + 1);
                argument.truncate(equals);
                hasValue = true;
            }
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= arguments.size())
                return false;
            value = arguments.at(++i);
            return true;
        };
        const auto noValue = [&]() {
            return !hasValue;
        };

        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            line.action = Action::Help;
            return line;
        }
        if (argument == QLatin1String("--version")) {
            line.action = Action::Version;
            return line;
        }
        if (argument == QLatin1String("--email")) {
            if (!takeValue() || value.trimmed().isEmpty())
                return fail(QStringLiteral("--email wants an e-mail address"));
            line.email = value.trimmed();
        } else if (argument == QLatin1String("--dir")) {
            if (!takeValue() || value.isEmpty())
                return fail(QStringLiteral("--dir wants a folder"));
            line.dir = value;
        } else if (argument == QLatin1String("--password-stdin") && noValue()) {
            line.passwordStdin = true;
        } else if (argument == QLatin1String("--yes") && noValue()) {
            line.yes = true;
        } else if (argument == QLatin1String("--quiet") && noValue()) {
            line.quiet = true;
        } else if (argument == QLatin1String("--password") || argument == QLatin1String("-p")) {
            return fail(QStringLiteral("the password is never taken from the command line: use "
                                       "--password-stdin or NUBELO_PASSWORD"));
        } else if (hasValue) {
            return fail(QStringLiteral("%1 takes no value").arg(argument));
        } else {
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(argument));
        }
    }
    if (line.photos.isEmpty())
        return fail(QStringLiteral("no photos given (see --help)"));
    return line;
}

namespace {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

std::optional<QString> checkExportDir(const QString &dir) {
    if (dir.isEmpty())
        return QStringLiteral("--dir wants a folder");
    const QString absolute = QFileInfo(dir).absoluteFilePath();
    const QByteArray name = QFile::encodeName(absolute);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0) {
        // The export writes there and reads back what it wrote: a folder that another user
        // owns (or a link of theirs to one) could have its files swapped in between.
        if (S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
            return QStringLiteral("--dir %1: a link owned by another user").arg(dir);
        if (::stat(name.constData(), &st) != 0)
            return QStringLiteral("--dir %1: %2").arg(dir, systemError());
        if (!S_ISDIR(st.st_mode))
            return QStringLiteral("--dir %1: not a folder").arg(dir);
        if (st.st_uid != ::geteuid())
            return QStringLiteral("--dir %1: the folder belongs to another user").arg(dir);
        if (::access(name.constData(), W_OK | X_OK) != 0)
            return QStringLiteral("--dir %1: cannot write in it: %2").arg(dir, systemError());
        return std::nullopt;
    }
    if (errno != ENOENT)
        return QStringLiteral("--dir %1: %2").arg(dir, systemError());

    // It will be made: the nearest folder that exists must let us.
    QString at = absolute;
    for (;;) {
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            return QStringLiteral("--dir %1: no folder above it exists").arg(dir);
        at = parent;
        const QByteArray parentName = QFile::encodeName(at);
        if (::stat(parentName.constData(), &st) != 0) {
            if (errno == ENOENT)
                continue;
            return QStringLiteral("--dir %1: %2: %3").arg(dir, at, systemError());
        }
        if (!S_ISDIR(st.st_mode))
            return QStringLiteral("--dir %1: %2 is not a folder").arg(dir, at);
        if (::access(parentName.constData(), W_OK | X_OK) != 0)
            return QStringLiteral("--dir %1: cannot be created in %2: %3")
                .arg(dir, at, systemError());
        return std::nullopt;
    }
}
