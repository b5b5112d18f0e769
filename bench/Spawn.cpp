#include "Spawn.h"

#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <chrono>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

// Captured output goes to anonymous memory files: no pipe to drain while the child runs, and
// nothing left on disc.
QByteArray readAllFrom(int fd) {
    QByteArray bytes;
    ::lseek(fd, 0, SEEK_SET);
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bytes.append(buffer, got);
    }
    return bytes;
}

double seconds(const timeval &tv) {
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

} // namespace

QString Outcome::describe(const Command &command) const {
    QString text = QFileInfo(command.program).fileName();
    if (!started)
        return text + QStringLiteral(": could not be started");
    text += exitCode >= 0 ? QStringLiteral(" exited with %1").arg(exitCode)
                          : QStringLiteral(" was killed");
    const QByteArray tail = err.right(600).trimmed();
    if (!tail.isEmpty())
        text += QStringLiteral(": ") + QString::fromLocal8Bit(tail);
    return text;
}

Outcome run(const Command &command) {
    Outcome outcome;
    const int outFd = ::memfd_create("bench-out", MFD_CLOEXEC);
    const int errFd = ::memfd_create("bench-err", MFD_CLOEXEC);
    if (outFd < 0 || errFd < 0) {
        if (outFd >= 0)
            ::close(outFd);
        if (errFd >= 0)
            ::close(errFd);
        return outcome;
    }

    std::vector<QByteArray> argumentBytes{QFile::encodeName(command.program)};
    for (const QString &argument : command.arguments)
        argumentBytes.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &bytes : argumentBytes)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : command.environment) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        environment.insert(pair.left(eq), pair.mid(eq + 1));
    }
    std::vector<QByteArray> environmentBytes;
    for (const QString &pair : environment.toStringList())
        environmentBytes.push_back(pair.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &bytes : environmentBytes)
        envp.push_back(bytes.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);

    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        int status = 0;
        rusage usage{};
        pid_t reaped = -1;
        do {
            reaped = ::wait4(pid, &status, 0, &usage);
        } while (reaped < 0 && errno == EINTR);
        const auto end = std::chrono::steady_clock::now();
        outcome.started = true;
        outcome.seconds = std::chrono::duration<double>(end - begin).count();
        if (reaped == pid) {
            outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            outcome.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
            outcome.contextSwitches = usage.ru_nvcsw + usage.ru_nivcsw;
        }
        outcome.out = readAllFrom(outFd);
        outcome.err = readAllFrom(errFd);
    }
    ::close(outFd);
    ::close(errFd);
    return outcome;
}

QString findProgram(const QString &name) {
    if (name.contains(QLatin1Char('/'))) {
        const QFileInfo info(name);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    const QString path = QString::fromLocal8Bit(qgetenv("PATH"));
    for (const QString &folder : path.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QFileInfo info(folder + QLatin1Char('/') + name);
        if (info.isFile() && info.isExecutable())
            return info.absoluteFilePath();
    }
    return {};
}

} // namespace bench
