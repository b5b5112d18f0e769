#pragma once

#include "CommandLine.h"
#include "NubeloSite.h"
#include "PhotoHost.h"
#include "ProgressDisplay.h"
#include "TerminalApplication.h"

#include <QObject>
#include <QPluginLoader>

#include <memory>

class ExportPluginProtocol;

// One run of nubelo-export, done the way a person would do it in the photo application: the
// plug-in's settings view is shown through the terminal kit, the host presses its sign-in
// toggle and learns the outcome from how the login sheet ended, then it presses Export and
// shows the progress until the run has ended (the plug-in signs out at the end of a run
// without a failed photo).
//
// Exit codes: 0 every photo uploaded, 1 the run failed, 2 usage error, 3 sign-in refused or
// cancelled, 4 nothing exported because files of an earlier run are in the way and Replace
// was not chosen, 130 cancelled with Ctrl-C.
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
    // Tears down in this order: the export thread, the plug-in (whose client may still sign
    // out), the embedded site, the platform's network thread.
    ~ExportCommand() override;

    int run();

private:
    int fail(int code, const QString &message);
    void tell(const QString &text);
    void warn(const QString &text);
    bool interrupted() const;
    void onInterrupt();

    // Each answers an exit code, or -1 to go on.
    int checkInput();
    int startEmbeddedSite();
    int loadPlugin();
    int signIn();
    int exportPhotos();
    // What this run put on the embedded site, and where it keeps the photos.
    void reportEmbeddedPhotos();
    void tearDown();

    CommandLine mLine;
    QString mEmail;    // null until known
    QString mPassword; // null until known
    bool mEmbedded = false;
    QString mSiteDataDir;
    std::size_t mPhotosBefore = 0; // the account's photos on the embedded site at start
    bool mTornDown = false;

    std::unique_ptr<nubelo::site::Site> mSite;
    terminal::TerminalApplication mKit;
    terminal::InterruptWatch *mWatch = nullptr;
    PhotoHost mPhotoHost;
    QPluginLoader mLoader;
    std::unique_ptr<ExportPluginProtocol> mPlugin;

    ProgressDisplay mProgress;
    bool mFinished = false;
    bool mRunFailed = false;
    QString mRunMessage;
    bool mCancelAsked = false;
};
