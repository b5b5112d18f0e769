#pragma once

#include "ExportWindow.h"
#include "GuiCommandLine.h"
#include "HostSetup.h"
#include "PluginSession.h"
#include "qtwidgets/QtWidgetsApplication.h"

#include <QObject>

#include <memory>

// Everything nubelo-export-gui runs on, in one object a test can drive in-process: the
// embedded site when no site is configured, the Qt Widgets kit, the session with the plug-in
// over the photos, and the export window.
//
// Teardown: PluginSession::tearDown, with the window going before the plug-in. The platform's
// network thread is the caller's to stop (platform::shutdown()) after the last host of the
// process, before the application goes.
class GuiHost : public QObject {
    Q_OBJECT
public:
    GuiHost();
    ~GuiHost() override;

    // Reads the configuration (PluginConfig::fromEnvironment), starts the embedded site when
    // neither host variable is set, loads the plug-in module and creates the plug-in for the
    // photos, and builds the window (not shown yet). Needs a QApplication. An error, with the
    // reason (the site's, the loader's or the factory's own), when there is nothing to show.
    platform::MaybeError start(const GuiCommandLine &line);

    ExportWindow *window() const { return mWindow.get(); }
    PhotoHost *photoHost() { return &mSession.photoHost(); }
    ExportPluginProtocol *plugin() const { return mSession.plugin(); }
    ExportPluginOutcomes *outcomes() const { return mSession.outcomes(); }
    // The embedded site, or nullptr when the variables name one.
    nubelo::site::Site *embeddedSite() const { return mSession.site.get(); }
    // One line saying that the embedded site runs, where, and its demo account; empty when none.
    QString embeddedSiteLine() const;

    void tearDown();

private:
    qtwidgets::QtWidgetsApplication mKit;
    PluginSession mSession{mKit};
    QString mSiteHost;
    QString mUploadHost;
    std::unique_ptr<ExportWindow> mWindow;
};
