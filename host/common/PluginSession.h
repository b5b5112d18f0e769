#pragma once

#include "Error.h"
#include "ExportPluginOutcomes.h"
#include "ExportPluginProtocol.h"
#include "NubeloSite.h"
#include "PhotoHost.h"
#include "PluginConfig.h"
#include "ui/Application.h"

#include <QPluginLoader>
#include <QString>

#include <functional>
#include <memory>

// What both host programs hold while they drive the plug-in: the embedded site (when they run
// one), the export manager over the photos, the plug-in module and the plug-in it made. The UI
// kit is the host's and must outlive this object. Main thread only.
class PluginSession {
public:
    explicit PluginSession(ui::Application &kit);
    // tearDown().
    ~PluginSession();
    PluginSession(const PluginSession &) = delete;
    PluginSession &operator=(const PluginSession &) = delete;

    // Makes the kit the process's, loads the module at `path` and has its factory create the
    // plug-in for photoHost() with `config`. The error's text names the module and gives the
    // loader's or the factory's reason.
    platform::MaybeError load(const QString &path, const PluginConfig &config);

    PhotoHost &photoHost() { return mPhotoHost; }
    ExportPluginProtocol *plugin() const { return mPlugin.get(); }
    // Null when the plug-in does not tell its outcomes.
    ExportPluginOutcomes *outcomes() const { return mOutcomes; }

    // Why the last run failed, one line each, the host's reason before the plug-in's (which
    // only knows that the photo was not written when the host did not write it). Empty when
    // the plug-in does not tell its outcomes or the run did not fail.
    QStringList runFailureReasons() const;

    // The embedded stand-in site, when the host runs one; it goes after the plug-in, whose
    // client may still sign out from it.
    std::unique_ptr<nubelo::site::Site> site;

    // Ends it all once, in the one order that is safe: the export thread (serving the main
    // thread's events until it has ended), `beforePlugin` (the host's windows), the pane
    // deactivated, the plug-in (its client may still sign out), the kit's place as the
    // process's kit, the embedded site.
    void tearDown(const std::function<void()> &beforePlugin = {});

private:
    ui::Application &mKit;
    PhotoHost mPhotoHost;
    QPluginLoader mLoader;
    std::unique_ptr<ExportPluginProtocol> mPlugin;
    ExportPluginOutcomes *mOutcomes = nullptr;
    bool mTornDown = false;
};
