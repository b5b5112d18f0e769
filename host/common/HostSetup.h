#pragma once

#include "Error.h"
#include "NubeloSite.h"

#include <QString>
#include <QStringList>

#include <memory>

// The start-up steps that nubelo-export and nubelo-export-gui share.
namespace hostsetup {

// The plug-in module: in NUBELO_PLUGIN_DIR when set, else in the module folder beside the
// program (../lib/nubelo-plugins from bin/). Needs a QCoreApplication.
QString pluginModulePath();

// The first photo that cannot be exported (not there, not readable, not an image), as a usage
// error naming it; nothing when every one can.
platform::MaybeError checkPhotos(const QStringList &photos);

// Neither NUBELO_SITE_HOST nor NUBELO_UPLOAD_HOST is set: the host runs the site itself.
bool embeddedSiteWanted();

struct EmbeddedSite {
    std::unique_ptr<nubelo::site::Site> site;
    QString dataDir;  // where it keeps the photos
    QString siteHost; // "127.0.0.1:PORT"
    QString uploadHost;
};

// Starts the stand-in site on loopback with a made-up demo account, keeping its photos in the
// folder nubelo-site uses too (so every demo's photos stay together), or in a private temporary
// folder when there is no home. The host hands its hosts to the plug-in in the PluginConfig.
// On failure `embedded` is left empty and the error says why in the words a user reads.
platform::MaybeError startEmbeddedSite(EmbeddedSite &embedded);

} // namespace hostsetup
