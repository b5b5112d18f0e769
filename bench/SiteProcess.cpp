#include "SiteProcess.h"

#include "Harness.h"

#include <QDir>

namespace bench {

bool SiteProcess::start(const QString &program, const QString &dataDir, QString *why,
                        const QStringList &extra) {
    stop();
    if (!freshFolder(dataDir)) {
        *why = dataDir + QStringLiteral(": cannot be emptied");
        return false;
    }
    mDataDir = dataDir;
    mProcess.setProgram(program);
    mProcess.setArguments(QStringList{QStringLiteral("--data"), dataDir,
                                      QStringLiteral("--account"),
                                      kEmail + QLatin1Char(':') + kPassword} +
                          extra);
    mProcess.setStandardErrorFile(dataDir + QStringLiteral(".log"));
    mProcess.start();
    if (!mProcess.waitForStarted(10000)) {
        *why = program + QStringLiteral(": ") + mProcess.errorString();
        return false;
    }
    QByteArray text;
    const double deadline = now() + 15;
    while (!text.contains("upload-host ") || !text.endsWith('\n')) {
        if (now() > deadline || mProcess.state() != QProcess::Running ||
            (!mProcess.waitForReadyRead(1000) && mProcess.state() != QProcess::Running)) {
            *why = QStringLiteral("nubelo-site did not start");
            return false;
        }
        text += mProcess.readAllStandardOutput();
    }
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("site-host "))
            siteHost = QString::fromLatin1(line.mid(10)).trimmed();
        else if (line.startsWith("upload-host "))
            uploadHost = QString::fromLatin1(line.mid(12)).trimmed();
    }
    return !siteHost.isEmpty() && !uploadHost.isEmpty();
}

void SiteProcess::stop() {
    if (mProcess.state() != QProcess::NotRunning) {
        mProcess.terminate();
        if (!mProcess.waitForFinished(10000)) {
            mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }
    if (!mDataDir.isEmpty())
        QDir(mDataDir).removeRecursively();
    mDataDir.clear();
}

} // namespace bench
