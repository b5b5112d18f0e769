#pragma once

// Running the real nubelo-export from a test: against a site the test started on loopback,
// with the plug-in module whose time limits the environment shortens, bounded in time, and
// with what it printed, how it ended and how long it took.

#include "StandInSite.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

namespace faults {

struct ProgramRun {
    bool finished = false; // false: it did not end within the limit and was killed
    bool crashed = false;
    int code = -1; // the exit code when it ended normally
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;

    QByteArray said() const { return out + err; }
    QByteArray describe() const {
        return "exit " + QByteArray::number(code) + (crashed ? " (crashed)" : "") +
               (finished ? "" : " (killed: did not end)") + "\n--- stdout\n" + out +
               "--- stderr\n" + err;
    }
};

inline QString buildDir() {
    return qEnvironmentVariable("NUBELO_BUILD_DIR");
}

inline QString exportProgram() {
    return buildDir() + QStringLiteral("/bin/nubelo-export");
}

// The environment of a run with nothing of the tester's in it (hosts, password, plug-in folder,
// logging rules, session bus): HOME, XDG_DATA_HOME and XDG_STATE_HOME under `work`, then the hosts
// and the password given. With no hosts the program starts its embedded site.
inline QProcessEnvironment programEnvironment(const QString &work, const QString &siteHost = {},
                                              const QString &uploadHost = {},
                                              const QString &password = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("NUBELO_PLUGIN_DIR"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    env.insert(QStringLiteral("HOME"), work + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), work + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), work + QStringLiteral("/state"));
    // No session bus, so a run without a password never asks the tester's own keyring.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + work + QStringLiteral("/no-bus"));
    for (const auto &[name, value] :
         {std::pair("NUBELO_SITE_HOST", siteHost), std::pair("NUBELO_UPLOAD_HOST", uploadHost),
          std::pair("NUBELO_PASSWORD", password)})
        value.isEmpty() ? env.remove(QLatin1String(name)) : env.insert(QLatin1String(name), value);
    return env;
}

// `childSetup` runs in the child between fork and exec; `input` is its whole standard input.
inline ProgramRun runProgram(const QString &program, const QStringList &arguments,
                             const QProcessEnvironment &env, int limitMs,
                             const std::function<void()> &childSetup = {},
                             const QByteArray &input = {}) {
    QProcess process;
    process.setProcessEnvironment(env);
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    ProgramRun run;
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    run.finished = process.waitForFinished(limitMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::CrashExit) {
        run.crashed = true;
    } else {
        run.code = process.exitCode();
    }
    run.elapsedMs = clock.elapsed();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// One test's world: a folder for the program's home, data and scratch files, and a stand-in
// site in it with one account, whose hosts the program's environment names.
struct SiteWork {
    QTemporaryDir work;
    std::string why; // when the site did not start
    std::unique_ptr<nubelo::site::Site> site;

    SiteWork(const QString &email, const QString &password)
        : site(standin::startSite(work.filePath(QStringLiteral("site")), email, password, &why)) {}
    QString path(const QString &name) const { return work.filePath(name); }
    QProcessEnvironment environment(const QString &password) const {
        return programEnvironment(work.path(), QString::fromStdString(site->siteHost()),
                                  QString::fromStdString(site->uploadHost()), password);
    }
};

// The arguments of a run signed in as `email` that puts its scratch files in `dir`.
inline QStringList exportArguments(const QString &email, const QString &dir,
                                   const QStringList &photos) {
    return QStringList{QStringLiteral("--email"), email, QStringLiteral("--dir"), dir} + photos;
}

// A picture with detail in it, so that it does not compress to nothing.
inline QImage testPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, (x ^ y) & 0xff));
    return image;
}

} // namespace faults
