#pragma once

// The nubelo-site program, started by a test on loopback with the hosts it printed, and stopped
// with SIGTERM when the test is done with it (or killed with SIGKILL on purpose).

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <csignal>

namespace standin {

class SiteProgram {
public:
    bool start(const QStringList &arguments) {
        mProcess.start(qEnvironmentVariable("NUBELO_BUILD_DIR") +
                           QStringLiteral("/bin/nubelo-site"),
                       arguments);
        QByteArray said;
        while (siteHost.isEmpty() || uploadHost.isEmpty()) {
            if (!mProcess.waitForReadyRead(10000))
                return false;
            said += mProcess.readAllStandardOutput();
            // Complete lines only: a host cut short between two reads is no host.
            for (const QByteArray &line : said.left(said.lastIndexOf('\n')).split('\n')) {
                if (line.startsWith("site-host "))
                    siteHost = line.mid(10);
                else if (line.startsWith("upload-host "))
                    uploadHost = line.mid(12);
            }
        }
        return true;
    }
    void kill() {
        ::kill(pid_t(mProcess.processId()), SIGKILL);
        mProcess.waitForFinished(10000);
    }
    bool killed() const {
        return mProcess.state() == QProcess::NotRunning &&
               mProcess.exitStatus() == QProcess::CrashExit;
    }
    // SIGTERM, and the code the program exited with; -1 when it crashed or did not end.
    int stop() {
        mProcess.terminate();
        if (!mProcess.waitForFinished(10000) || mProcess.exitStatus() != QProcess::NormalExit)
            return -1;
        return mProcess.exitCode();
    }
    ~SiteProgram() {
        if (mProcess.state() != QProcess::NotRunning)
            stop();
    }

    QByteArray siteHost;
    QByteArray uploadHost;

private:
    QProcess mProcess;
};

} // namespace standin
