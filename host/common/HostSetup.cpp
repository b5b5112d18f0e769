#include "HostSetup.h"

#include "PhotoHost.h"
#include "ProgramArguments.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace hostsetup {

namespace {

std::vector<std::filesystem::path> siteDataCandidates() {
    std::vector<std::filesystem::path> candidates;
    const QByteArray xdg = qgetenv("XDG_DATA_HOME");
    if (xdg.startsWith('/'))
        candidates.emplace_back(std::filesystem::path(xdg.toStdString()) / "nubelo-site");
    const QByteArray home = qgetenv("HOME");
    if (!home.isEmpty())
        candidates.emplace_back(std::filesystem::path(home.toStdString()) /
                                ".local/share/nubelo-site");
    candidates.emplace_back(QFile::encodeName(QDir::tempPath()).toStdString() + "/nubelo-site-" +
                            std::to_string(::geteuid()));
    return candidates;
}

} // namespace

QString pluginModulePath() {
    QString dir = qEnvironmentVariable("NUBELO_PLUGIN_DIR");
    // The same place in the build tree (build/bin, build/lib/nubelo-plugins) and under an
    // installed prefix (P/bin, P/lib/nubelo-plugins): nothing of the build's path is kept.
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/nubelo-plugins");
    return QDir::cleanPath(QDir(dir).filePath(QStringLiteral(NUBELO_PLUGIN_FILE)));
}

platform::MaybeError checkPhotos(const QStringList &photos) {
    for (const QString &photo : photos) {
        if (const platform::MaybeError why = PhotoHost::checkImageFile(photo))
            return ProgramArguments::usageError(why->localizedDescription);
    }
    return std::nullopt;
}

bool embeddedSiteWanted() {
    return qEnvironmentVariableIsEmpty("NUBELO_SITE_HOST") &&
           qEnvironmentVariableIsEmpty("NUBELO_UPLOAD_HOST");
}

platform::MaybeError startEmbeddedSite(EmbeddedSite &embedded, PluginConfig &config) {
    QStringList failures;
    for (const std::filesystem::path &dataDir : siteDataCandidates()) {
        nubelo::site::Options options;
        options.dataDir = dataDir;
        std::string error;
        embedded.site = nubelo::site::Site::start(options, &error);
        if (embedded.site) {
            embedded.dataDir = QFile::decodeName(QByteArray::fromStdString(dataDir.string()));
            break;
        }
        failures.append(QString::fromStdString(error));
    }
    if (!embedded.site)
        return platform::Error{QStringLiteral("EmbeddedSite"), 1,
                               QStringLiteral("the embedded site does not start: %1")
                                   .arg(failures.join(QStringLiteral("; ")))};
    config.siteHost = QString::fromStdString(embedded.site->siteHost());
    config.uploadHost = QString::fromStdString(embedded.site->uploadHost());
    return std::nullopt;
}

} // namespace hostsetup
