#include "NubeloExportController.h"

#include <QLoggingCategory>
#include <QMutexLocker>

Q_LOGGING_CATEGORY(lcController, "nubelo.controller")

namespace {
const QString kSettingsViewFile = QStringLiteral(":/nubelo/SettingsView.ui");
const QString kLoginSheetFile = QStringLiteral(":/nubelo/LoginSheet.ui");
const QString kAboutWindowFile = QStringLiteral(":/nubelo/AboutWindow.ui");
} // namespace

NubeloExportController::NubeloExportController(ExportMgr *exportMgr)
    : mExportMgr(exportMgr)
    , mExportDir(QStringLiteral("/tmp/NubeloExporter"))
    , mPluginName(QStringLiteral("Nubelo Exporter"))
    , mConnector(std::make_unique<NubeloConnections>()) {}

NubeloExportController::~NubeloExportController() {
    // The client goes first: its teardown may sign out, and nothing of the windows is needed
    // for that. Then the box lets go of its view before the views themselves go.
    mConnector.reset();
    mPluginBox.reset();
    mInterfaces.clear();
    mExportMgr = nullptr;
}

bool NubeloExportController::loadInterface(QString *why) {
    ui::Application *application = ui::app();
    if (application != nullptr) {
        const struct {
            QString file;
            QList<ui::Outlet> outlets;
        } files[] = {
            {kSettingsViewFile,
             {{QStringLiteral("mSettingsBox"), &mSettingsBox},
              {QStringLiteral("mFirstView"), &mFirstView},
              {QStringLiteral("mNewAlbumTitle"), &mNewAlbumTitle},
              {QStringLiteral("mAlbums"), &mAlbums},
              {QStringLiteral("mShowAlbum"), &mShowAlbum},
              {QStringLiteral("mAccountInfo"), &mAccountInfo},
              {QStringLiteral("mAuthenticate"), &mAuthenticate},
              {QStringLiteral("mHelp"), &mHelp}}},
            {kLoginSheetFile,
             {{QStringLiteral("mLoginDialog"), &mLoginDialog},
              {QStringLiteral("mLoginUsername"), &mLoginUsername},
              {QStringLiteral("mLoginPassword"), &mLoginPassword},
              {QStringLiteral("mLoginProgress"), &mLoginProgress},
              {QStringLiteral("mLoginRemember"), &mLoginRemember},
              {QStringLiteral("mLoginErrorMessage"), &mLoginErrorMessage}}},
            {kAboutWindowFile, {{QStringLiteral("mAboutDialog"), &mAboutDialog}}},
        };
        for (const auto &entry : files) {
            QString reason;
            std::unique_ptr<QObject> loaded =
                application->loadInterface(entry.file, this, entry.outlets, &reason);
            if (!loaded) {
                const QString message =
                    QStringLiteral("cannot load %1: %2").arg(entry.file, reason);
                qCWarning(lcController).noquote() << message;
                if (why != nullptr)
                    *why = message;
                return false;
            }
            mInterfaces.push_back(std::move(loaded));
        }
    }
    mPluginBox = std::make_unique<NubeloExportPluginBox>(mSettingsBox);
    mPluginBox->mPlugin = this;
    awakeFromNib();
    return true;
}

void NubeloExportController::awakeFromNib() {
    if (mAccountInfo != nullptr)
        mAccountInfo->setStringValue(QStringLiteral("No user athenticated yet"));
    if (mLoginUsername != nullptr)
        mLoginUsername->setStringValue(QStringLiteral(""));
    if (mLoginPassword != nullptr)
        mLoginPassword->setStringValue(QStringLiteral(""));
    mMetadata = 1;
}

QString NubeloExportController::exportDir() const {
    QMutexLocker locker(&mExportDirLock);
    return mExportDir;
}

void NubeloExportController::setExportDir(const QString &dir) {
    if (dir.isNull())
        return;
    const QString copy = dir; // `dir` may be a reference to a string we hand out
    QMutexLocker locker(&mExportDirLock);
    mExportDir = copy;
}

ui::View *NubeloExportController::settingsView() {
    return mSettingsBox;
}

ui::View *NubeloExportController::firstView() {
    return mFirstView;
}

void NubeloExportController::viewWillBeActivated() {}

void NubeloExportController::viewWillBeDeactivated() {}

QString NubeloExportController::requiredFileType() {
    return QStringLiteral("");
}

bool NubeloExportController::wantsDestinationPrompt() {
    return false;
}

QString NubeloExportController::getDestinationPath() {
    return exportDir();
}

std::optional<QString> NubeloExportController::defaultFileName() {
    return std::nullopt;
}

QString NubeloExportController::defaultDirectory() {
    return exportDir();
}

bool NubeloExportController::treatSingleSelectionDifferently() {
    return false;
}

bool NubeloExportController::handlesMovieFiles() {
    return false;
}

bool NubeloExportController::validateUserCreatedPath(const QString &) {
    return false;
}

void NubeloExportController::clickExport() {
    if (mExportMgr != nullptr)
        mExportMgr->clickExport();
}

void NubeloExportController::startExport(const QString &) {}

void NubeloExportController::performExport(const QString &) {}

PluginProgress *NubeloExportController::progress() {
    return &mProgress;
}

void NubeloExportController::lockProgress() {
    mProgressLock.lock();
}

void NubeloExportController::unlockProgress() {
    mProgressLock.unlock();
}

void NubeloExportController::cancelExport() {
    mCancelExport.store(true);
}

QString NubeloExportController::name() {
    return mPluginName;
}

void NubeloExportController::msgBox(const QString &message, const QString &informativeText) {
    if (ui::Application *application = ui::app())
        application->msgBox(message, informativeText);
}

void NubeloExportController::clickLoginLogout(QObject *) {}

void NubeloExportController::clickAuthenticateLoginDialog(QObject *) {}

void NubeloExportController::clickCancelLoginDialog(QObject *) {}

void NubeloExportController::clickSugerencias(QObject *) {}

void NubeloExportController::clickAbout(QObject *) {}

void NubeloExportController::clickCloseAboutDialog(QObject *) {}
