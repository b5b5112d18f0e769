#include "PluginSession.h"

#include "ExportPluginFactory.h"

PluginSession::PluginSession(ui::Application &kit)
    : mKit(kit) {}

PluginSession::~PluginSession() {
    tearDown();
}

platform::MaybeError PluginSession::load(const QString &path, const PluginConfig &config) {
    const auto failure = [](const QString &text) {
        return platform::Error{QStringLiteral("PluginSession"), 1, text};
    };
    ui::setApp(&mKit);
    mLoader.setFileName(path);
    QObject *root = mLoader.instance();
    if (root == nullptr)
        return failure(
            QStringLiteral("cannot load the plug-in %1: %2").arg(path, mLoader.errorString()));
    auto *factory = qobject_cast<ExportPluginFactory *>(root);
    if (factory == nullptr)
        return failure(QStringLiteral("%1 is not an export plug-in").arg(path));
    CreatedPlugin created = factory->initWithExportImageObj(&mPhotoHost, config);
    if (!created.plugin) {
        const QString reason = created.error.localizedDescription;
        return failure(
            QStringLiteral("the plug-in %1 could not be set up: %2")
                .arg(path, reason.isEmpty() ? QStringLiteral("no reason given") : reason));
    }
    mPlugin = std::move(created.plugin);
    mOutcomes = exportPluginOutcomes(mPlugin.get());
    mPhotoHost.setPlugin(mPlugin.get());
    return std::nullopt;
}

QStringList PluginSession::runFailureReasons() const {
    QStringList reasons;
    const std::optional<ExportFailure> failure =
        mOutcomes != nullptr ? mOutcomes->lastRun().failure : std::nullopt;
    if (!failure)
        return reasons;
    if (const platform::MaybeError host = mPhotoHost.exportFailure())
        reasons.append(QStringLiteral("photo %1 not exported: %2")
                           .arg(failure->photo)
                           .arg(host->localizedDescription));
    const platform::Error &error = failure->error;
    reasons.append(QStringLiteral("photo %1: %2 (%3 %4)")
                       .arg(failure->photo)
                       .arg(error.localizedDescription, error.domain)
                       .arg(error.code));
    return reasons;
}

void PluginSession::tearDown(const std::function<void()> &beforePlugin) {
    if (mTornDown)
        return;
    mTornDown = true;
    mPhotoHost.shutdown();
    if (beforePlugin)
        beforePlugin();
    if (mPlugin)
        mPlugin->viewWillBeDeactivated();
    mPhotoHost.setPlugin(nullptr);
    mOutcomes = nullptr;
    mPlugin.reset();
    if (ui::app() == &mKit)
        ui::setApp(nullptr);
    site.reset();
}
