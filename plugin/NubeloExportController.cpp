#include "NubeloExportController.h"

#include "WebExtensions.h"
#include "ui/UiFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QUrl>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcController, "nubelo.controller")

namespace {
// How the login sheet's modal run ends.
constexpr int kLoginAuthenticateCode = 10;
constexpr int kLoginCancelCode = 11;

QString textOf(const ui::TextField *field) {
    return field != nullptr ? field->stringValue() : QString();
}

void setShown(ui::View *view, bool shown) {
    if (view != nullptr)
        view->setHidden(!shown);
}

const QString kSettingsViewFile = QStringLiteral(":/nubelo/SettingsView.ui");
const QString kLoginSheetFile = QStringLiteral(":/nubelo/LoginSheet.ui");
const QString kAboutWindowFile = QStringLiteral(":/nubelo/AboutWindow.ui");

QString scratchName(int number) {
    return QStringLiteral("sfe-%1.png").arg(number);
}

// `name` as a path component of `dir`: one separator between them, none added to an empty dir.
QString joinPath(const QString &dir, const QString &name) {
    if (dir.isEmpty())
        return name;
    if (dir.endsWith(QLatin1Char('/')))
        return dir + name;
    return dir + QLatin1Char('/') + name;
}

// Creates `dir` and its missing parents for the user alone: the scratch files are the user's
// photos, and the default folder lies in /tmp. A folder that exists is left as it is. Whether
// it worked is not looked at: the host's write fails later if it did not.
void makePrivatePath(const QString &dir) {
    const QByteArray native = QFile::encodeName(QDir::cleanPath(dir));
    for (qsizetype end = 1; end <= native.size(); ++end) {
        if (end == native.size() || native.at(end) == '/')
            ::mkdir(native.left(end).constData(), 0700);
    }
}

// Clears the flag when the run returns, whichever way it leaves.
class RunningScope {
public:
    explicit RunningScope(std::atomic<bool> &flag)
        : mFlag(flag) {}
    ~RunningScope() { mFlag.store(false); }
    RunningScope(const RunningScope &) = delete;
    RunningScope &operator=(const RunningScope &) = delete;

private:
    std::atomic<bool> &mFlag;
};

platform::Error controllerError(int code, const QString &text) {
    return platform::Error{QString::fromLatin1(NubeloExportController::kErrorDomain), code, text};
}
} // namespace

NubeloExportController::NubeloExportController(ExportMgr *exportMgr, const PluginConfig &config)
    : mExportMgr(exportMgr)
    , mExportDir(QStringLiteral("/tmp/NubeloExporter"))
    , mPluginName(QStringLiteral("Nubelo Exporter"))
    , mFeedbackAddress(config.feedbackAddress)
    , mLoginWait(config.loginWait)
    , mConnector(std::make_unique<NubeloConnections>(config)) {}

NubeloExportController::~NubeloExportController() {
    // The client goes first: its teardown may sign out, and nothing of the windows is needed
    // for that. Then the box lets go of its view before the views themselves go.
    mConnector.reset();
    mPluginBox.reset();
    mInterfaces.clear();
    mExportMgr = nullptr;
}

platform::MaybeError NubeloExportController::loadInterface() {
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
            auto loaded = application->loadInterface(entry.file, this, entry.outlets);
            if (!loaded) {
                const platform::Error error =
                    ui::interfaceError(QStringLiteral("cannot load %1: %2")
                                           .arg(entry.file, loaded.error().localizedDescription));
                qCWarning(lcController).noquote() << error.localizedDescription;
                return error;
            }
            mInterfaces.push_back(std::move(*loaded));
        }
    }
    mPluginBox = std::make_unique<NubeloExportPluginBox>(mSettingsBox);
    mPluginBox->mPlugin = this;
    awakeFromNib();
    return std::nullopt;
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
    if (mExporting.load()) {
        qCInfo(lcController) << "export request ignored: an export is under way";
        return;
    }
    if (mExportMgr != nullptr)
        mExportMgr->clickExport();
}

void NubeloExportController::startExport(const QString &path) {
    const auto told = [this](ExportStart start) {
        QMutexLocker locker(&mOutcomeLock);
        mLastStart = start;
    };
    if (mExporting.load()) {
        qCInfo(lcController) << "startExport ignored: an export is under way";
        told(ExportStart::Refused);
        return;
    }
    // A cancel left from an earlier run (or that run's own failed end) must not stop this one.
    // It is forgotten here, where the run begins, and not in performExport: the host may cancel
    // as soon as it has been started (a window closed while the Replace question was up), before
    // the export thread reaches performExport, and that cancel belongs to this run.
    mCancelExport.store(false);
    setSize(1);
    setQuality(1);
    setMetadata(3);
    if (mExportMgr == nullptr) {
        told(ExportStart::Refused);
        return;
    }
    const int n = mExportMgr->imageCount();
    makePrivatePath(exportDir());
    if (n == 1) {
        told(ExportStart::Begun);
        mExportMgr->startExport();
        return;
    }

    bool earlierFiles = false;
    for (int i = 0; i < n && !earlierFiles; ++i)
        earlierFiles = QFileInfo::exists(joinPath(path, scratchName(i)));
    if (earlierFiles) {
        ui::Application *application = ui::app();
        if (application == nullptr) {
            // Nobody to ask: the files stay.
            qCWarning(lcController)
                << "export not started: files of an earlier export exist in" << path;
            told(ExportStart::FilesKept);
            return;
        }
        const int answer = application->runCriticalAlertPanel(
            QStringLiteral("File exists"),
            QStringLiteral("One or more images already exist in directory."),
            QStringLiteral("Replace"), QString(), QStringLiteral("Cancel"));
        if (answer != ui::AlertDefaultReturn) {
            told(ExportStart::FilesKept);
            return;
        }
    }
    told(ExportStart::Begun);
    mExportMgr->startExport();
}

void NubeloExportController::setProgressItem(quint32 current, const QString &message) {
    QMutexLocker locker(&mProgressLock);
    mProgress.currentItem = current;
    mProgress.message = message;
}

std::optional<platform::Error>
NubeloExportController::exportAndUpload(int index, const QString &path, qint32 imageid,
                                        const ImageExportSettings &settings) {
    if (mExportMgr == nullptr || !mExportMgr->exportImageAtIndex(index, path, &settings))
        return controllerError(ErrorPhotoNotWritten,
                               QStringLiteral("the host did not write the photo"));
    QFile file(path);
    const auto unreadable = [&file] {
        return controllerError(
            ErrorPhotoUnreadable,
            QStringLiteral("the photo cannot be read: %1").arg(file.errorString()));
    };
    if (!file.open(QIODevice::ReadOnly))
        return unreadable();
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable();
    file.close();
    return mConnector->uploadImage(data, imageid);
}

void NubeloExportController::performExport(const QString &path) {
    if (mExporting.exchange(true)) {
        qCWarning(lcController) << "performExport ignored: an export is under way";
        return;
    }
    const RunningScope running(mExporting);

    qCInfo(lcController).noquote() << "performExport path:" << path;
    // The cancel flag is not cleared here (startExport did): a cancel that came since belongs to
    // this run, which then starts no photo.
    const int n = mExportMgr != nullptr ? mExportMgr->imageCount() : 0;
    bool success = true;
    setExportDir(path);

    ImageExportSettings settings;
    settings.format = kFormatPNG;
    settings.quality = 1;
    settings.floatOption = 0.0f;
    settings.width = 640;
    settings.height = 640;
    settings.metadata = 3;

    {
        QMutexLocker locker(&mProgressLock);
        mProgress.indeterminateProgress = false;
        mProgress.totalItems = quint32(n > 1 ? n : 1);
        mProgress.message = QStringLiteral("Exporting");
        // The host reads the end of this run from these: an earlier run's must not stand.
        mProgress.shouldStop = false;
        mProgress.shouldCancel = false;
    }

    {
        QMutexLocker locker(&mOutcomeLock);
        mLastRun = ExportRunOutcome{};
    }
    QString scratch;
    std::optional<platform::Error> failure;
    const auto exportOne = [&](int index, const QString &name) {
        const int photo = index + 1; // the user's position, and the site's image number
        scratch = joinPath(exportDir(), name);
        failure = exportAndUpload(index, scratch, photo, settings);
        success = !failure;
        QMutexLocker locker(&mOutcomeLock);
        if (success)
            ++mLastRun.uploaded;
        else
            mLastRun.failure = ExportFailure{photo, *failure};
    };
    if (n > 1) {
        for (int i = 0; !mCancelExport.load() && success && i < n; ++i) {
            setProgressItem(quint32(i), QStringLiteral("Image %1 of %2").arg(i + 1).arg(n));
            exportOne(i, scratchName(i));
        }
    } else {
        setProgressItem(0, QStringLiteral("Image 1 of 1"));
        exportOne(0, scratchName(1));
    }

    if (success) {
        // The toggle drives windows: the main thread carries it out while this one waits.
        const auto toggle = [this] {
            clickLoginLogout(this);
        };
        if (ui::Application *application = ui::app())
            application->performOnMainThread(toggle);
        else
            toggle();
        QMutexLocker locker(&mProgressLock);
        mProgress.message = QString();
        mProgress.shouldStop = true;
    } else {
        // The record shows only which file; the host asks lastRun() for the reason.
        qCWarning(lcController).noquote()
            << scratch << "was not uploaded:" << failure->localizedDescription;
        {
            QMutexLocker locker(&mProgressLock);
            mProgress.message = QStringLiteral("Unable to upload %1").arg(scratch);
            mProgress.shouldCancel = true;
        }
        cancelExport();
    }
}

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

QString NubeloExportController::signedInAs() {
    QMutexLocker locker(&mOutcomeLock);
    return mSignedInAs;
}

ExportStart NubeloExportController::lastStart() {
    QMutexLocker locker(&mOutcomeLock);
    return mLastStart;
}

ExportRunOutcome NubeloExportController::lastRun() {
    QMutexLocker locker(&mOutcomeLock);
    return mLastRun;
}

SignInOutcome NubeloExportController::lastSignIn() {
    QMutexLocker locker(&mOutcomeLock);
    return mLastSignIn;
}

std::optional<SiteExchange> NubeloExportController::exchangeUnderWay() {
    return mConnector->exchangeUnderWay();
}

void NubeloExportController::msgBox(const QString &message, const QString &informativeText) {
    if (ui::Application *application = ui::app())
        application->msgBox(message, informativeText);
}

void NubeloExportController::clickLoginLogout(QObject *sender) {
    switch (mConnector->getState()) {
    case SessionLoggedIn:
        // The labels follow the user's intent even when the logout fails: a failed logout
        // leaves the state at 3, and the next click signs out again.
        mConnector->closeSession();
        {
            QMutexLocker locker(&mOutcomeLock);
            mSignedInAs = QString();
        }
        if (mAuthenticate != nullptr)
            mAuthenticate->setTitle(QStringLiteral("Authenticate"));
        if (mAccountInfo != nullptr)
            mAccountInfo->setStringValue(QStringLiteral("No user athenticated yet"));
        break;
    case SessionNone:
        runLoginSheet();
        break;
    case SessionLoggingIn:
        // A login whose wait ran out leaves the state at 1 with nothing under way any more (the
        // exchange was dropped). Waiting on it would leave the user no way to sign in again
        // short of restarting the application; the client logs in afresh from this state. The
        // run's own click at its end still acts by the state alone.
        if (!mInLoginSheet && sender != this)
            runLoginSheet();
        break;
    default:
        // A login or an album request is under way: the toggle waits for it.
        break;
    }
}

void NubeloExportController::runLoginSheet() {
    ui::Application *application = ui::app();
    if (application == nullptr || mLoginDialog == nullptr)
        return;

    setShown(mLoginProgress, false);
    if (mLoginErrorMessage != nullptr)
        mLoginErrorMessage->setStringValue(QStringLiteral(""));
    setShown(mLoginErrorMessage, false);
    application->beginSheet(mLoginDialog, mSettingsBox);
    mInLoginSheet = true;

    SignInOutcome outcome{SignIn::Cancelled, std::nullopt};
    bool done = false;
    while (!done) {
        const int code = application->runModalForWindow(mLoginDialog);
        if (mLoginProgress != nullptr)
            mLoginProgress->startAnimation();
        setShown(mLoginProgress, true);
        if (code == kLoginCancelCode) {
            done = true;
        } else if (code == kLoginAuthenticateCode) {
            outcome = attemptSignIn();
            done = outcome.end == SignIn::SignedIn;
        }
        if (mLoginProgress != nullptr)
            mLoginProgress->stopAnimation();
        setShown(mLoginProgress, false);
    }
    {
        QMutexLocker locker(&mOutcomeLock);
        mLastSignIn = outcome;
    }

    mInLoginSheet = false;
    application->orderOut(mLoginDialog);
    application->endSheet(mLoginDialog);
}

SignInOutcome NubeloExportController::attemptSignIn() {
    const QString email = textOf(mLoginUsername);
    const std::optional<platform::Error> error =
        mConnector->authenticate(email, textOf(mLoginPassword));
    if (error) {
        showLoginError(QStringLiteral("%1: %2").arg(error->domain, error->localizedDescription));
        return {SignIn::SiteFailed, error};
    }
    const int state = mConnector->getState();
    if (state == SessionLoggedIn) {
        {
            QMutexLocker locker(&mOutcomeLock);
            mSignedInAs = email;
        }
        if (mAccountInfo != nullptr)
            mAccountInfo->setStringValue(QStringLiteral("%1 logged in").arg(email));
        if (mAuthenticate != nullptr)
            mAuthenticate->setTitle(QStringLiteral("Logout"));
        return {SignIn::SignedIn, std::nullopt};
    }
    showLoginError(QStringLiteral("Atuthentication failed. Please review and try again!"));
    if (state != SessionLoggingIn)
        return {SignIn::Refused, std::nullopt};
    // The wait ran out: the site never answered, whatever it would have said of the password.
    const qint64 ms = mLoginWait.count();
    const QString wait = ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000)
                                        : QStringLiteral("%1 s").arg(double(ms) / 1000.0);
    return {SignIn::SiteFailed,
            controllerError(ErrorSiteSilent,
                            QStringLiteral("the site did not answer within %1").arg(wait))};
}

void NubeloExportController::showLoginError(const QString &text) {
    if (mLoginErrorMessage == nullptr)
        return;
    mLoginErrorMessage->setStringValue(text);
    mLoginErrorMessage->setHidden(false);
}

void NubeloExportController::clickAuthenticateLoginDialog(QObject *) {
    if (ui::Application *application = ui::app())
        application->stopModalWithCode(kLoginAuthenticateCode);
}

void NubeloExportController::clickCancelLoginDialog(QObject *) {
    if (ui::Application *application = ui::app())
        application->stopModalWithCode(kLoginCancelCode);
}

QString NubeloExportController::suggestionsMailUrl() const {
    using WebExtensions::stringByAddingPercentEscapesUsingEncoding;
    const QString subject = QStringLiteral("SUBJECT=%1")
                                .arg(stringByAddingPercentEscapesUsingEncoding(
                                    QStringLiteral("[Velkaron] Sugerencias")));
    const QString body = QStringLiteral("BODY=%1").arg(stringByAddingPercentEscapesUsingEncoding(
        QStringLiteral("Name: \ne-mail: \nSugerencias:\n")));
    const QString recipient = stringByAddingPercentEscapesUsingEncoding(mFeedbackAddress);
    return QStringLiteral("mailto:%1?%2&%3").arg(recipient, subject, body);
}

void NubeloExportController::clickSugerencias(QObject *) {
    ui::Application *application = ui::app();
    if (application == nullptr)
        return;
    // The text is escaped already: parse it as encoded, so the URL carries exactly these bytes
    // (QUrl would otherwise re-encode or decode some of them).
    const QUrl url = QUrl::fromEncoded(suggestionsMailUrl().toUtf8(), QUrl::StrictMode);
    if (!url.isValid()) {
        qCWarning(lcController) << "no mail URL for the feedback address" << mFeedbackAddress;
        return;
    }
    application->openURL(url); // no mail program: nothing to tell the user
}

void NubeloExportController::clickAbout(QObject *) {
    ui::Application *application = ui::app();
    if (application == nullptr || mAboutDialog == nullptr)
        return;
    application->beginSheet(mAboutDialog, nullptr);
    application->runModalForWindow(mAboutDialog);
    application->orderOut(mAboutDialog);
    application->endSheet(mAboutDialog);
}

void NubeloExportController::clickCloseAboutDialog(QObject *) {
    if (ui::Application *application = ui::app())
        application->stopModalWithCode(0);
}
