#pragma once

// The stand-in site on loopback as the in-process suites start it: one account, its files under
// a folder of the test's own, and the plug-in's configuration for it.

#include "NubeloSite.h"
#include "PluginConfig.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace standin {

inline std::unique_ptr<nubelo::site::Site> startSite(const QString &dataDir, const QString &email,
                                                     const QString &password, std::string *why) {
    nubelo::site::Options options;
    options.dataDir = dataDir.toStdString();
    options.accounts = {{email.toStdString(), password.toStdString()}};
    return nubelo::site::Site::start(options, why);
}

// The plug-in's configuration for this site: its two hosts, and limits short enough that a
// test which runs into one ends quickly.
inline PluginConfig configFor(const nubelo::site::Site &site,
                              std::chrono::milliseconds loginWait = std::chrono::seconds(5),
                              std::chrono::milliseconds requestLimit = std::chrono::seconds(5)) {
    PluginConfig config;
    config.siteHost = QString::fromStdString(site.siteHost());
    config.uploadHost = QString::fromStdString(site.uploadHost());
    config.loginWait = loginWait;
    config.requestLimit = requestLimit;
    return config;
}

// For a host program run in-process, which reads the hosts from the environment as it starts.
inline void pointHostAt(const nubelo::site::Site &site) {
    qputenv("NUBELO_SITE_HOST", QByteArray::fromStdString(site.siteHost()));
    qputenv("NUBELO_UPLOAD_HOST", QByteArray::fromStdString(site.uploadHost()));
}

inline QList<nubelo::site::JournalEntry> entries(const nubelo::site::Site &site,
                                                 nubelo::site::Exchange exchange) {
    QList<nubelo::site::JournalEntry> found;
    for (const nubelo::site::JournalEntry &e : site.journal())
        if (e.exchange == exchange)
            found.append(e);
    return found;
}

// Header names compare without regard to case, as on the wire.
inline QStringList fieldValues(const nubelo::site::JournalEntry &entry, const char *name) {
    QStringList values;
    for (const auto &[field, value] : entry.fields)
        if (QString::fromStdString(field).compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            values.append(QString::fromStdString(value));
    return values;
}

} // namespace standin
