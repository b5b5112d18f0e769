#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <memory>

class ExportPluginProtocol;
class PhotoHost;
class PluginSession;
class QLabel;
class QListWidget;

class QProgressBar;
class QPushButton;

// The photo application's export window: thumbnails of the chosen photos, the plug-in's
// settings view in place, the progress of a run, and Export and Cancel.
//
// A run: Export (or Return in the settings view, which reaches the host as exportRequested())
// hands the destination to the plug-in's startExport(), which may ask before it starts the
// host's export thread. While the run goes on the settings view and Export are disabled, and
// Cancel asks the plug-in to stop after the photo under way. A failed run shows the record's
// message in an alert, with the reasons the session gives (PluginSession::runFailureReasons);
// a run that stopped says how many photos went up (the plug-in's outcome) and offers the site's
// gallery; either says so when files the run wrote could not be removed (PhotoHost removes them
// when a run ends, always for the window). Closing the window during a run cancels the run and
// closes once it has ended: the application must not quit while the export thread still needs the
// main thread.
//
// Export (and Return in the pane) is offered only while the plug-in says someone is signed in
// (ExportPluginOutcomes::signedInAs, asked on a short timer); otherwise a line says to sign in
// first. The photos show as a grid that wraps at the window's width; the window opens at a size
// for four columns of three rows and keeps its size and place in QSettings (organisation
// "Nubelo", the program's name), saved when it is destroyed.
class ExportWindow : public QWidget {
    Q_OBJECT
public:
    // The session is not owned, must outlive the window and hold its plug-in; `siteHost` is
    // the one the plug-in talks to.
    ExportWindow(PluginSession *session, const QString &siteHost, QWidget *parent = nullptr);
    ~ExportWindow() override;

    // A line under the settings view (the embedded site and its demo account); empty hides it.
    void setSiteNote(const QString &text);
    // The site's gallery, on the site host the plug-in talks to.
    QUrl galleryUrl() const;

    bool isRunning() const;
    // Every thumbnail has been decoded (or found undecodable).
    bool thumbnailsLoaded() const;

    QWidget *settingsWidget() const { return mSettings; }
    QListWidget *thumbnails() const { return mThumbnails; }
    QPushButton *exportButton() const { return mExport; }
    QPushButton *cancelButton() const { return mCancel; }
    QProgressBar *progressBar() const { return mProgress; }
    QLabel *statusLabel() const { return mStatus; }
    QLabel *signInNote() const { return mSignInNote; }
    // The alert the last run's end put up, while it is open.
    QMessageBox *outcomeBox() const { return mOutcome.data(); }

public Q_SLOTS:
    // What Export does. Ignored while a run is under way or being started.
    void requestExport();
    // What Cancel does: stops a run after its photo under way, else closes the window.
    void cancel();

Q_SIGNALS:
    // A run ended; `photosUp` counts the photos the plug-in reported done.
    void runEnded(bool failed, int photosUp, const QString &message);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The size the window opens at when none was saved.
    QSize defaultSize() const;
    void buildThumbnails();
    void loadNextThumbnail();
    void setRunning(bool running);
    bool signedIn() const;
    // Export enabled, and the sign-in line shown, as the sign-in state and the run allow.
    void updateExportOffer();
    void showProgress(quint32 current, quint32 total, const QString &message);
    void finishRun(bool failed, const QString &message);
    void showOutcome(bool failed, int photosUp, const QString &message, const QString &reason);

    PluginSession *mSession;
    PhotoHost *mHost;
    ExportPluginProtocol *mPlugin;
    QString mSiteHost;
    QPointer<QWidget> mSettings; // the plug-in's; it may destroy the widget first
    QLabel *mPhotosLine = nullptr;
    QListWidget *mThumbnails = nullptr;
    QLabel *mSiteNote = nullptr;
    QProgressBar *mProgress = nullptr;
    QLabel *mStatus = nullptr;
    QLabel *mSignInNote = nullptr;
    QPushButton *mCancel = nullptr;
    QPushButton *mExport = nullptr;
    QPointer<QMessageBox> mOutcome;

    bool mStarting = false;       // inside the plug-in's startExport (it may ask first)
    bool mCloseWhenEnded = false; // the window was closed during a run
    quint32 mCurrent = 0;
    quint32 mTotal = 0;
    int mNextThumbnail = 0;
};
