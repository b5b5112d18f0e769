#include "GuiHost.h"

#include "ExportPluginFactory.h"
#include "ExportPluginProtocol.h"
#include "PluginLog.h"

GuiHost::GuiHost() = default;

GuiHost::~GuiHost() {
    tearDown();
}

bool GuiHost::start(const GuiCommandLine &line, QString *why) {
    const auto fail = [why](const QString &reason) {
        if (why != nullptr)
            *why = reason;
        return false;
    };
    if (mPlugin)
        return fail(QStringLiteral("already started"));
    if (hostsetup::embeddedSiteWanted()) {
        QString reason;
        mEmbedded = hostsetup::startEmbeddedSite(&reason);
        if (!mEmbedded.site)
            return fail(QStringLiteral("the embedded site does not start: %1").arg(reason));
    }
    mPhotoHost.setImageFiles(line.photos);
    mPhotoHost.setDestination(line.dir);
    if (!loadPlugin(why))
        return false;
    mPhotoHost.setPlugin(mPlugin.get());
    mWindow = std::make_unique<ExportWindow>(&mPhotoHost, mPlugin.get());
    mWindow->setSiteNote(
        mEmbedded.site ? QStringLiteral("Embedded stand-in site on %1 (uploads on %2): sign in as "
                                        "%3 with the password %4.")
                             .arg(mEmbedded.siteHost, mEmbedded.uploadHost,
                                  QString::fromStdString(mEmbedded.site->demoAccount().email),
                                  QString::fromStdString(mEmbedded.site->demoAccount().password))
                       : QString());
    mPlugin->viewWillBeActivated();
    return true;
}

bool GuiHost::loadPlugin(QString *why) {
    const auto fail = [why](const QString &reason) {
        if (why != nullptr)
            *why = reason;
        return false;
    };
    ui::setApp(&mKit);
    const QString path = hostsetup::pluginModulePath();
    mLoader.setFileName(path);
    QObject *root = mLoader.instance();
    if (root == nullptr)
        return fail(
            QStringLiteral("cannot load the plug-in %1: %2").arg(path, mLoader.errorString()));
    auto *factory = qobject_cast<ExportPluginFactory *>(root);
    if (factory == nullptr)
        return fail(QStringLiteral("%1 is not an export plug-in").arg(path));
    const PluginWarnings warnings;
    mPlugin = factory->initWithExportImageObj(&mPhotoHost);
    if (!mPlugin) {
        const QString reason = warnings.last();
        return fail(QStringLiteral("the plug-in %1 could not be set up: %2")
                        .arg(path, reason.isEmpty() ? QStringLiteral("no reason given") : reason));
    }
    return true;
}

QString GuiHost::embeddedSiteLine() const {
    if (!mEmbedded.site)
        return {};
    const nubelo::site::Account demo = mEmbedded.site->demoAccount();
    return QStringLiteral("NUBELO_SITE_HOST and NUBELO_UPLOAD_HOST are not set: using the "
                          "embedded stand-in site on %1 (uploads on %2); its demo account is %3 "
                          "with the password %4")
        .arg(mEmbedded.siteHost, mEmbedded.uploadHost, QString::fromStdString(demo.email),
             QString::fromStdString(demo.password));
}

void GuiHost::tearDown() {
    if (mTornDown)
        return;
    mTornDown = true;
    // Serves the main thread's events until the export thread has ended.
    mPhotoHost.shutdown();
    mWindow.reset();
    if (mPlugin)
        mPlugin->viewWillBeDeactivated();
    mPhotoHost.setPlugin(nullptr);
    mPlugin.reset();
    if (ui::app() == &mKit)
        ui::setApp(nullptr);
    mEmbedded.site.reset();
}
