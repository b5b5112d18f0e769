#pragma once

#include "ExportWindow.h"
#include "GuiCommandLine.h"
#include "HostSetup.h"
#include "PhotoHost.h"
#include "qtwidgets/QtWidgetsApplication.h"

#include <QObject>
#include <QPluginLoader>

#include <memory>

class ExportPluginProtocol;

// Everything nubelo-export-gui runs on, in one object a test can drive in-process: the
// embedded site when no site is configured, the Qt Widgets kit, the export manager over the
// photos, the plug-in module and the export window.
//
// Teardown order: the export thread ended, the window, the plug-in (its client may still sign
// out), the embedded site. The platform's network thread is the caller's to stop
// (platform::shutdown()) after the last host of the process, before the application goes.
class GuiHost : public QObject {
    Q_OBJECT
public:
    GuiHost();
    ~GuiHost() override;

    // Starts the embedded site when neither host variable is set, loads the plug-in module and
    // creates the plug-in for the photos, and builds the window (not shown yet). Needs a
    // QApplication. False, with the reason in `why` (the loader's own for a module that does
    // not load), when there is nothing to show.
    bool start(const GuiCommandLine &line, QString *why);

    ExportWindow *window() const { return mWindow.get(); }
    PhotoHost *photoHost() { return &mPhotoHost; }
    ExportPluginProtocol *plugin() const { return mPlugin.get(); }
    // The embedded site, or nullptr when the variables name one.
    nubelo::site::Site *embeddedSite() const { return mEmbedded.site.get(); }
    // One line saying that the embedded site runs, where, and its demo account; empty when none.
    QString embeddedSiteLine() const;

    void tearDown();

private:
    bool loadPlugin(QString *why);

    hostsetup::EmbeddedSite mEmbedded;
    qtwidgets::QtWidgetsApplication mKit;
    PhotoHost mPhotoHost;
    QPluginLoader mLoader;
    std::unique_ptr<ExportPluginProtocol> mPlugin;
    std::unique_ptr<ExportWindow> mWindow;
    bool mTornDown = false;
};
