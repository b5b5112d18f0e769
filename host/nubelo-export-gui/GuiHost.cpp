#include "GuiHost.h"

#include "ExportPluginProtocol.h"

GuiHost::GuiHost() = default;

GuiHost::~GuiHost() {
    tearDown();
}

platform::MaybeError GuiHost::start(const GuiCommandLine &line) {
    if (mSession.plugin() != nullptr)
        return platform::Error{QStringLiteral("GuiHost"), 1, QStringLiteral("already started")};
    PluginConfig config = PluginConfig::fromEnvironment();
    if (hostsetup::embeddedSiteWanted()) {
        hostsetup::EmbeddedSite embedded;
        if (platform::MaybeError error = hostsetup::startEmbeddedSite(embedded, config))
            return error;
        mSession.site = std::move(embedded.site);
    }
    mSiteHost = config.siteHost;
    mUploadHost = config.uploadHost;
    PhotoHost &photoHost = mSession.photoHost();
    photoHost.setImageFiles(line.photos);
    photoHost.setDestination(line.dir);
    if (platform::MaybeError error = mSession.load(hostsetup::pluginModulePath(), config))
        return error;
    mWindow = std::make_unique<ExportWindow>(&mSession, mSiteHost);
    const nubelo::site::Site *site = mSession.site.get();
    mWindow->setSiteNote(
        site != nullptr
            ? QStringLiteral("Embedded stand-in site on %1 (uploads on %2): sign in as %3 with "
                             "the password %4.")
                  .arg(mSiteHost, mUploadHost, QString::fromStdString(site->demoAccount().email),
                       QString::fromStdString(site->demoAccount().password))
            : QString());
    mSession.plugin()->viewWillBeActivated();
    return std::nullopt;
}

QString GuiHost::embeddedSiteLine() const {
    if (!mSession.site)
        return {};
    const nubelo::site::Account demo = mSession.site->demoAccount();
    return QStringLiteral("NUBELO_SITE_HOST and NUBELO_UPLOAD_HOST are not set: using the "
                          "embedded stand-in site on %1 (uploads on %2); its demo account is %3 "
                          "with the password %4")
        .arg(mSiteHost, mUploadHost, QString::fromStdString(demo.email),
             QString::fromStdString(demo.password));
}

void GuiHost::tearDown() {
    mSession.tearDown([this] { mWindow.reset(); });
}
