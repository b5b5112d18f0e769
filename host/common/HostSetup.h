#pragma once

#include "Error.h"
#include "NubeloSite.h"
#include "PluginConfig.h"

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
    QString dataDir; // where it keeps the photos
};

// Starts the stand-in site on loopback with a made-up demo account, keeping its photos in the
// folder nubelo-site uses too (so every demo's photos stay together), or in a private temporary
// folder when there is no home, and points `config` at its hosts ("127.0.0.1:PORT") for the
// plug-in. On failure `config` is left as it was and the error says why in the words a user
// reads.
platform::MaybeError startEmbeddedSite(EmbeddedSite &embedded, PluginConfig &config);

} // namespace hostsetup
