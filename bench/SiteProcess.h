#pragma once

#include "Harness.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace bench {

// The stand-in site as its own program, with one account (kEmail, kPassword) for every side.
// Stopped, and its data folder removed, when it goes.
class SiteProcess {
public:
    ~SiteProcess() { stop(); }

    // Starts `program` on an emptied dataDir, with `extra` arguments, and reads the two hosts it
    // prints.
    bool start(const QString &program, const QString &dataDir, QString *why,
               const QStringList &extra = {});
    void stop();

    QStringList environment() const {
        return {QStringLiteral("NUBELO_SITE_HOST=") + siteHost,
                QStringLiteral("NUBELO_UPLOAD_HOST=") + uploadHost,
                QStringLiteral("NUBELO_PASSWORD=") + kPassword};
    }

    QString siteUrl(const QString &query) const {
        return QStringLiteral("http://") + siteHost + QStringLiteral("/") + query;
    }
    QString uploadUrl() const {
        return QStringLiteral("http://") + uploadHost + QStringLiteral("/?upload=1&iframe=1");
    }

    QString siteHost, uploadHost;

private:
    QProcess mProcess;
    QString mDataDir;
};

} // namespace bench
