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
        "  --keep-files         keep the PNG files of the run in DIR (by default they are\n"
        "                       removed when the run ends)\n"
        "  --quiet              no progress display\n"
        "  --remember           with --email: keep the password in the desktop keyring once\n"
        "                       it signed in; later runs with --email and no password use it\n"
        "  --forget             delete the password kept for --email, then exit\n"
        "  --skip-uploaded      leave out the photos already sent to this site and account\n"
        "                       (every photo sent is recorded in\n"
        "                       $XDG_STATE_HOME/nubelo-export/uploaded.jsonl)\n"
        "  -h, --help           this text\n"
        "  --version            the program's version\n"
        "The site is www.nubelo.example and upload.nubelo.example unless NUBELO_SITE_HOST and\n"
        "NUBELO_UPLOAD_HOST say otherwise; with neither set, a stand-in site is started inside\n"
        "the program and its demo account is used unless --email is given.\n"
        "Exit status: 0 every photo uploaded, 1 the export failed, 2 usage error, 3 sign-in\n"
        "refused or cancelled, 4 nothing exported (files of an earlier run in the way),\n"
        "130 cancelled with Ctrl-C.\n");
}

platform::MaybeError CommandLine::parse(const QStringList &arguments) {
    const QString noEmail = QStringLiteral("--email wants an e-mail address");
    ProgramArguments parsed;
    parsed.addValue({QStringLiteral("email")}, noEmail);
    parsed.addValue({QStringLiteral("dir")}, QStringLiteral("--dir wants a folder"));
    parsed.addFlag({QStringLiteral("password-stdin")});
    parsed.addFlag({QStringLiteral("yes")});
    parsed.addFlag({QStringLiteral("quiet")});
    parsed.addFlag({QStringLiteral("keep-files")});
    parsed.addFlag({QStringLiteral("remember")});
    parsed.addFlag({QStringLiteral("forget")});
    parsed.addFlag({QStringLiteral("skip-uploaded")});
    parsed.allowNoPhotosWith(QStringLiteral("forget"));
    parsed.addValue({QStringLiteral("p"), QStringLiteral("password")},
                    QStringLiteral("the password is never taken from the command line: use "
                                   "--password-stdin or NUBELO_PASSWORD"),
                    /*refused=*/true);
    if (platform::MaybeError error = parsed.parse(arguments))
        return error;
    action = parsed.action();
    if (parsed.isSet(QStringLiteral("email"))) {
        email = parsed.value(QStringLiteral("email")).trimmed();
        if (email.isEmpty())
            return ProgramArguments::usageError(noEmail);
    }
    if (parsed.isSet(QStringLiteral("dir")))
        dir = parsed.value(QStringLiteral("dir"));
    passwordStdin = parsed.isSet(QStringLiteral("password-stdin"));
    yes = parsed.isSet(QStringLiteral("yes"));
    quiet = parsed.isSet(QStringLiteral("quiet"));
    keepFiles = parsed.isSet(QStringLiteral("keep-files"));
    remember = parsed.isSet(QStringLiteral("remember"));
    forget = parsed.isSet(QStringLiteral("forget"));
    skipUploaded = parsed.isSet(QStringLiteral("skip-uploaded"));
    photos = parsed.photos();
    if (forget && (email.isNull() || !photos.isEmpty()))
        return ProgramArguments::usageError(
            QStringLiteral("--forget wants --email ADDRESS and no photos"));
    if (remember && email.isNull())
        return ProgramArguments::usageError(QStringLiteral("--remember wants --email ADDRESS"));
    return std::nullopt;
}

namespace {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

platform::MaybeError checkExportDir(const QString &dir) {
    const auto refused = ProgramArguments::usageError;
    if (dir.isEmpty())
        return refused(QStringLiteral("--dir wants a folder"));
    const QString absolute = QFileInfo(dir).absoluteFilePath();
    const QByteArray name = QFile::encodeName(absolute);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0) {
        // The export writes there and reads back what it wrote: a folder that another user
        // owns (or a link of theirs to one) could have its files swapped in between.
        if (S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
            return refused(QStringLiteral("--dir %1: a link owned by another user").arg(dir));
        if (::stat(name.constData(), &st) != 0)
            return refused(QStringLiteral("--dir %1: %2").arg(dir, systemError()));
        if (!S_ISDIR(st.st_mode))
            return refused(QStringLiteral("--dir %1: not a folder").arg(dir));
        if (st.st_uid != ::geteuid())
            return refused(QStringLiteral("--dir %1: the folder belongs to another user").arg(dir));
        if (::access(name.constData(), W_OK | X_OK) != 0)
            return refused(
                QStringLiteral("--dir %1: cannot write in it: %2").arg(dir, systemError()));
        return std::nullopt;
    }
    if (errno != ENOENT)
        return refused(QStringLiteral("--dir %1: %2").arg(dir, systemError()));

    // It will be made: the nearest folder that exists must let us.
    QString at = absolute;
    for (;;) {
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            return refused(QStringLiteral("--dir %1: no folder above it exists").arg(dir));
        at = parent;
        const QByteArray parentName = QFile::encodeName(at);
        if (::stat(parentName.constData(), &st) != 0) {
            if (errno == ENOENT)
                continue;
            return refused(QStringLiteral("--dir %1: %2: %3").arg(dir, at, systemError()));
        }
        if (!S_ISDIR(st.st_mode))
            return refused(QStringLiteral("--dir %1: %2 is not a folder").arg(dir, at));
        if (::access(parentName.constData(), W_OK | X_OK) != 0)
            return refused(QStringLiteral("--dir %1: cannot be created in %2: %3")
                               .arg(dir, at, systemError()));
        return std::nullopt;
    }
}
