#pragma once

#include "CommandLine.h"
#include "Error.h"
#include "PluginSession.h"
#include "ProgressDisplay.h"
#include "RememberedPassword.h"
#include "TerminalApplication.h"
#include "UploadRecord.h"

#include <QObject>
#include <QTimer>

#include <chrono>

// One run of nubelo-export, done the way a person would do it in the photo application: the
// plug-in's settings view is shown through the terminal kit, the host presses its sign-in
// toggle, then it presses Export and shows the progress until the run has ended (the plug-in
// signs out at the end of a run without a failed photo). Every outcome (signed in, the run
// begun or the files kept, the photos uploaded, why a run failed) is the plug-in's
// ExportPluginOutcomes.
//
// Exit codes: 0 every photo uploaded, 1 the run failed, 2 usage error, 3 sign-in refused or
// cancelled, 4 nothing exported because files of an earlier run are in the way and Replace
// was not chosen, 130 cancelled with Ctrl-C (also when the photo under way then failed).
class ExportCommand : public QObject {
    Q_OBJECT
public:
    enum ExitCode {
        Uploaded = 0,
        Failed = 1,
        UsageError = 2,
        NotSignedIn = 3,
        NothingExported = 4,
        Interrupted = 130,
    };

    explicit ExportCommand(CommandLine line);
    // Tears the session down (PluginSession::tearDown), then stops the platform's network
    // thread.
    ~ExportCommand() override;

    int run();

private:
    // An outcome other than Uploaded: `code`, and the text to tell (none when empty).
    static platform::Error ending(ExitCode code, const QString &message = {});
    void tell(const QString &text);
    void warn(const QString &text);
    bool interrupted() const;
    void onInterrupt();
    // A second Ctrl-C during a run: what went up, a sign-out bounded by the interrupt's grace,
    // and out with 130. The exchange under way is not waited for.
    [[noreturn]] void stopNow();
    // Once per stall: an exchange with the site silent for kStallNotice, and how long it may be.
    void watchSilence();
    // "N of M photos uploaded", and the photos that did not go up, as the user named them.
    void tellUploaded();
    // The reason for a run's failed photo, named as the user named it, and its place in the run.
    QString failedPhotoLine(const ExportFailure &failure);

    // The steps of a run in their order; each answers how the run ends early, or nothing to
    // go on (with nothing from the last: every photo uploaded).
    platform::MaybeError checkInput();
    platform::MaybeError startEmbeddedSite();
    platform::MaybeError skipUploaded();
    platform::MaybeError loadPlugin();
    platform::MaybeError signIn();
    platform::MaybeError exportPhotos();
    // What this run put on the embedded site, and where it keeps the photos.
    void reportEmbeddedPhotos();
    void tellAccount();
    // --remember, once signed in with a password of ours.
    void rememberPassword();

    CommandLine mLine;
    QString mEmail;                   // null until known
    QString mPassword;                // null until known
    bool mPasswordRemembered = false; // mPassword came from the keyring
    bool mEmbedded = false;
    QString mSiteDataDir;
    std::size_t mPhotosBefore = 0; // the account's photos on the embedded site at start
    PluginConfig mConfig;

    SignInKit mKit;
    terminal::InterruptWatch *mWatch = nullptr;
    PluginSession mSession{mKit};
    ExportPluginProtocol *mPlugin = nullptr;   // the session's
    ExportPluginOutcomes *mOutcomes = nullptr; // the session's

    ProgressDisplay mProgress;
    bool mFinished = false;
    bool mRunFailed = false;
    QString mRunMessage;
    bool mCancelAsked = false;

    UploadRecord mUploadRecord{UploadRecord::defaultPath()};
    std::optional<RunRecord> mRunRecord;
    PhotosToSend mToSend;
    QTimer mSilenceWatch;
    std::chrono::steady_clock::time_point mToldSilentSince; // the stall last told of
};
