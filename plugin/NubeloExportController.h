#pragma once

#include "ExportMgr.h"
#include "ExportPluginOutcomes.h"
#include "ExportPluginProtocol.h"
#include "NubeloConnections.h"
#include "NubeloExportPluginBox.h"
#include "PluginConfig.h"
#include "PluginProgress.h"
#include "ui/Application.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

// The plug-in's principal class: the one object the host creates and talks to. It holds the
// outlets of the settings view and of the two windows, the progress record shared with the
// host, the cancel flag and the plug-in's one service client.
//
// Outlets are bound when the interface files are loaded (loadInterface) and are not owned; an
// outlet that was never bound is null, and every use of it is then a no-op.
class NubeloExportController : public QObject,
                               public ExportPluginProtocol,
                               public ExportPluginOutcomes {
    Q_OBJECT
    Q_INTERFACES(ExportPluginOutcomes)
public:
    // The reasons of a failed photo that are the controller's own; an upload's reason is the
    // service client's error.
    static constexpr char kErrorDomain[] = "NubeloExportController";
    enum ErrorCode : int {
        ErrorPhotoNotWritten = 1,
        ErrorPhotoUnreadable = 2,
        ErrorSiteSilent = 3, // a sign-in that had no answer within the login wait
    };

    // initWithExportImageObj: `exportMgr` is the host's, not owned; `config` the site's hosts,
    // the feedback address and the time limits, as the host read them.
    explicit NubeloExportController(ExportMgr *exportMgr, const PluginConfig &config = {});
    ~NubeloExportController() override;

    // Loads the settings view, the login sheet and the About window through the process's UI
    // kit and binds the outlets, hands the box this plug-in, then runs awakeFromNib(). Without a
    // UI kit nothing is loaded and awakeFromNib() still runs. The error says which file did not
    // load and why.
    platform::MaybeError loadInterface();
    void awakeFromNib();

    // Settings.
    QString exportDir() const;
    void setExportDir(const QString &dir); // a null string keeps the old directory
    qint32 size() const { return mSize; }
    void setSize(qint32 size) { mSize = size; }
    qint32 quality() const { return mQuality; }
    void setQuality(qint32 quality) { mQuality = quality; }
    qint32 metadata() const { return mMetadata; }
    void setMetadata(qint32 metadata) { mMetadata = metadata; }

    // ExportPluginProtocol.
    ui::View *settingsView() override;
    ui::View *firstView() override;
    void viewWillBeActivated() override;
    void viewWillBeDeactivated() override;
    QString requiredFileType() override;
    bool wantsDestinationPrompt() override;
    QString getDestinationPath() override;
    std::optional<QString> defaultFileName() override;
    QString defaultDirectory() override;
    bool treatSingleSelectionDifferently() override;
    bool handlesMovieFiles() override;
    bool validateUserCreatedPath(const QString &path) override;
    void clickExport() override;
    void startExport(const QString &path) override;
    void performExport(const QString &path) override;
    PluginProgress *progress() override;
    void lockProgress() override;
    void unlockProgress() override;
    // Stops the run begun by the last startExport after its photo under way; a cancel that comes
    // before performExport has started stops the run before its first photo of several. A new
    // startExport forgets any earlier cancel.
    void cancelExport() override;
    QString name() override;

    // ExportPluginOutcomes.
    QString signedInAs() override;
    ExportStart lastStart() override;
    ExportRunOutcome lastRun() override;
    SignInOutcome lastSignIn() override;
    std::optional<SiteExchange> exchangeUnderWay() override;

    // A modal warning alert with one "OK" button.
    void msgBox(const QString &message, const QString &informativeText);

    // Button actions, bound by the interface files' "action" properties.
    // The toggle: signs out in state 3, opens the login sheet in state 0, and in state 1 too when
    // a click of the pane finds no sheet under way (a login whose wait ran out); otherwise waits.
    Q_INVOKABLE void clickLoginLogout(QObject *sender);
    Q_INVOKABLE void clickAuthenticateLoginDialog(QObject *sender);
    Q_INVOKABLE void clickCancelLoginDialog(QObject *sender);
    Q_INVOKABLE void clickSugerencias(QObject *sender);
    Q_INVOKABLE void clickAbout(QObject *sender);
    Q_INVOKABLE void clickCloseAboutDialog(QObject *sender);

    NubeloConnections *connector() const { return mConnector.get(); }
    // True from the start of performExport until it returns.
    bool isExporting() const { return mExporting.load(); }

    // The suggestions mail as clickSugerencias hands it over: escaped recipient, subject and
    // body in a mailto URL.
    QString suggestionsMailUrl() const;

private:
    // The login sheet's loop: runs until a login succeeds or the user cancels.
    void runLoginSheet();
    // One attempt of the sheet with what it holds; the outcome as lastSignIn() tells it.
    SignInOutcome attemptSignIn();
    void showLoginError(const QString &text);
    // Has the host write photo `index` to `path`, reads it back and uploads it as `imageid`.
    // Nothing on success, else why the photo failed.
    std::optional<platform::Error> exportAndUpload(int index, const QString &path, qint32 imageid,
                                                   const ImageExportSettings &settings);
    // Writes the record's fields under the progress lock.
    void setProgressItem(quint32 current, const QString &message);

    // Outlets (not owned).
    ui::Box *mSettingsBox = nullptr;
    ui::View *mFirstView = nullptr;
    ui::TextField *mNewAlbumTitle = nullptr;
    ui::ComboBox *mAlbums = nullptr;
    ui::Button *mShowAlbum = nullptr;
    ui::TextField *mAccountInfo = nullptr;
    ui::Button *mAuthenticate = nullptr;
    ui::Button *mHelp = nullptr;
    ui::Window *mAboutDialog = nullptr;
    ui::Window *mLoginDialog = nullptr;
    ui::TextField *mLoginUsername = nullptr;
    ui::TextField *mLoginPassword = nullptr;
    ui::ProgressIndicator *mLoginProgress = nullptr;
    ui::Button *mLoginRemember = nullptr;
    ui::TextField *mLoginErrorMessage = nullptr;

    ExportMgr *mExportMgr = nullptr; // the host's, not owned
    mutable QMutex mExportDirLock;   // the export thread sets the directory the host reads
    QString mExportDir;
    qint32 mSize = 0;
    qint32 mQuality = 0;
    qint32 mMetadata = 0;
    PluginProgress mProgress;
    QMutex mProgressLock;
    std::atomic<bool> mCancelExport{false};
    // A run is under way: a second start, from the host or the Return key, is ignored.
    std::atomic<bool> mExporting{false};
    QString mPluginName;
    QString mFeedbackAddress;
    // The outcomes as the host may ask for them; the export thread writes the run's.
    QMutex mOutcomeLock;
    QString mSignedInAs;
    ExportStart mLastStart = ExportStart::NotAsked;
    ExportRunOutcome mLastRun;
    SignInOutcome mLastSignIn;
    const std::chrono::milliseconds mLoginWait;
    bool mInLoginSheet = false; // runLoginSheet() is under way (main thread)
    std::unique_ptr<NubeloConnections> mConnector;

    // What the interface files made, the settings box that adopts the kit's box view, and the
    // loaded windows; destroyed in the reverse order.
    std::vector<std::unique_ptr<QObject>> mInterfaces;
    std::unique_ptr<NubeloExportPluginBox> mPluginBox;
};
