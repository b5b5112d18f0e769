#pragma once

#include "Error.h"
#include "ExportMgr.h"
#include "ExportPluginProtocol.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <future>
#include <optional>
#include <thread>

#include <sys/stat.h>

// The photo application's export manager, played over a list of image files. Both front ends
// (the command line and the window) drive an export plug-in through it.
//
// Threads: the object lives on the main thread and every call is made there, except
// imageCount() and exportImageAtIndex(), which the plug-in makes from the export thread.
// A run: the front end answers exportRequested() by calling the plug-in's startExport(dir); the
// plug-in calls startExport() here, which runs the plug-in's performExport() on a thread of its
// own while a timer on the main thread polls the progress record under the plug-in's lock.
// The main thread's event loop must keep running during a run: the plug-in's last step is a
// call carried out on the main thread.
// The files a run has the host write are copies of the user's photos, in a folder (/tmp by
// default) that outlives the run: once the export thread has ended, whether the run went up,
// failed or was cancelled, the host removes those it wrote in that run (unless told to keep
// them), and only those.
class PhotoHost : public QObject, public ExportMgr {
    Q_OBJECT
public:
    // Photos that declare more pixels than this are refused before anything is decoded: a file
    // of a few bytes can declare a picture that would take gigabytes. 200 megapixels leaves
    // room for the largest single-shot camera sensors (about 150); a JPEG below it is decoded
    // at reduced size, so its memory stays small, and other formats are bounded by the image
    // reader's own allocation limit.
    static constexpr qint64 kMaxPixels = 200'000'000;
    static constexpr int kPollIntervalMs = 50;

    explicit PhotoHost(QObject *parent = nullptr);
    // During a run: asks the run to cancel and serves the main thread's events until the export
    // thread has ended, then removes the run's files as any run's end does. Emits nothing. Never
    // delete the host from one of its own signals (use deleteLater()).
    ~PhotoHost() override;

    // The photos, in export order. The list cannot change during a run (the calls answer false).
    bool setImageFiles(const QStringList &paths);
    bool addImageFile(const QString &path);
    QStringList imageFiles() const;

    // Why `path` cannot be exported, in one line that names the path; nothing when it looks
    // like a photo we can read (a regular, readable file that an image reader recognises, of a
    // size it can tell and not above kMaxPixels). The pixels are not decoded.
    static platform::MaybeError checkImageFile(const QString &path);

    // Not owned; it must outlive the host's last run (call shutdown() before destroying it).
    // Ignored during a run.
    void setPlugin(ExportPluginProtocol *plugin);
    ExportPluginProtocol *plugin() const { return mPlugin; }

    // The folder handed to performExport(): the one set here, or, while none is set (a null
    // string), the plug-in's getDestinationPath().
    QString destination() const;
    void setDestination(const QString &folder);

    // Whether the files a run wrote stay when it ends (default: they are removed). Read when a
    // run ends.
    void setKeepFiles(bool keep) { mKeepFiles = keep; }
    // Why files the last run wrote are still there although they were to go, one line that names
    // the first of them; nothing when every one went. It never makes a run a failed one. Set
    // before exportFinished() is emitted, reset when the next run starts.
    platform::MaybeError removalFailure() const { return mRemovalFailure; }

    // Starts converting the first photo for `box` on a thread of its own, in memory only, so
    // that a run asking for it at that size finds it ready: a front end calls it while the user
    // signs in. Dropped when the run asks for another photo or size, when the list changes, or
    // when the photo's file has changed by the time it is asked for. Ignored during a run.
    void convertAhead(QSize box);

    bool isExporting() const { return mExporting; }
    // Asks the run under way to stop after its current photo.
    void cancel();
    // Cancels a run under way and returns once its thread has ended, serving the main thread's
    // events meanwhile (exportFinished() is emitted). Later runs are refused. For a front end
    // that is about to quit.
    void shutdown();

    // ExportMgr
    int imageCount() override;
    // Starts the plug-in's performExport(destination()) on the export thread. Ignored during a
    // run, after shutdown() and without a plug-in.
    void startExport() override;
    // Writes photo `index` to `dest` as PNG ('PNGf'), scaled down to fit inside
    // options->width x options->height (a bound of 0 or less leaves that side free) with its
    // aspect ratio kept, never enlarged, turned upright by its EXIF orientation, with no text,
    // EXIF or colour profile in the file (pixels are converted to sRGB first). The file is
    // written beside `dest` under a temporary name and renamed over it, so a link planted at
    // `dest` is replaced, never written through; the result has mode 0600. A missing folder
    // is created with mode 0700; a folder owned by another user is refused. False, with the
    // reason in the log, when nothing was written. A file written during a run is removed when
    // the run ends (see setKeepFiles()) if it is still the one written.
    bool exportImageAtIndex(int index, const QString &dest,
                            const ImageExportSettings *options) override;
    // Why the last exportImageAtIndex() of this run that answered false wrote nothing; nothing
    // when none did. The plug-in only learns that the photo was not written. Any thread.
    platform::MaybeError exportFailure() const;
    // Emits exportRequested() (the front end decides); ignored during a run.
    void clickExport() override;

    // The size a photo of `size` (upright) takes inside `box`: scaled down with its aspect
    // ratio kept, never enlarged, at least 1 x 1.
    static QSize fitInside(QSize size, QSize box);

Q_SIGNALS:
    void exportRequested();
    // The record's item, item count or message changed (a null message is "no text").
    void progressChanged(quint32 current, quint32 total, const QString &message);
    // The export thread has ended and the run's files are removed (or kept); `cancelled` is the
    // record's shouldCancel (the run failed), `message` its last text.
    void exportFinished(bool cancelled, const QString &message);

private:
    struct Snapshot {
        quint32 current = 0;
        quint32 total = 0;
        QString message;
        bool cancelled = false;
        bool operator==(const Snapshot &other) const {
            return current == other.current && total == other.total &&
                   message.isNull() == other.message.isNull() && message == other.message;
        }
    };

    static Snapshot readProgress(ExportPluginProtocol *plugin);
    bool remember(const Snapshot &now); // true when it differs from the last one reported
    void poll();
    void finishRun();
    void waitForRunToEnd();
    void removeWrittenFiles();

    ExportPluginProtocol *mPlugin = nullptr;
    ExportPluginProtocol *mRunPlugin = nullptr; // the plug-in of the run under way
    QString mDestination;
    std::thread mThread;
    std::atomic<bool> mThreadEnded{false};
    bool mExporting = false;
    bool mShutDown = false;
    bool mKeepFiles = false;
    platform::MaybeError mRemovalFailure;
    QTimer mPollTimer;
    std::optional<Snapshot> mLast;

    // A photo converted on a thread of its own while the caller is busy with the one before
    // it (the plug-in uploads it). Only memory is touched ahead of time: the file is written at
    // the photo's own call, and a conversion made for another list or size, or of a file that
    // has changed since it began, is dropped.
    using Converted = platform::Expected<QByteArray>; // the PNG file
    // Which file a name holds, and whether it changed since: a write moves its ctime, which no
    // user can set, and the ctime tells a reused inode number from the file that had it.
    struct FileStamp {
        bool valid = false;
        quint64 device = 0, inode = 0;
        qint64 size = 0, modified = 0, changed = 0;
        bool operator==(const FileStamp &) const = default;
        static FileStamp of(const struct stat &st);
    };
    static FileStamp stampOf(const QString &path); // invalid when the name holds nothing
    struct Ahead {
        int index = -1;
        QString source;
        FileStamp stamp; // taken before the conversion read the file
        QSize box;
        quint64 generation = 0;
        std::future<Converted> result;
    };
    static Converted convert(const QString &source, QSize box);
    // Starts converting photo `index` for `box` as mAhead; the one held before is handed back
    // to be waited for outside the lock.
    std::future<Converted> convertAheadLocked(int index, QSize box);

    mutable QMutex mFilesMutex; // the export thread reads the list
    QStringList mFiles;
    quint64 mGeneration = 0;             // a new list; guarded by mFilesMutex
    platform::MaybeError mExportFailure; // guarded by mFilesMutex
    Ahead mAhead; // guarded by mFilesMutex; its destruction waits for the thread

    // A file the run under way wrote, as it was renamed into place: at the run's end the name is
    // removed only while it still names that file, unchanged, not one put there since.
    struct Written {
        QString path;
        FileStamp stamp;
    };
    QList<Written> mWritten; // guarded by mFilesMutex
};
