#include "PhotoHost.h"
#include "PhotoHostLog.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QMutexLocker>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcPhotoHost, "nubelo.host")

PhotoHost::PhotoHost(QObject *parent)
    : QObject(parent) {
    mPollTimer.setInterval(kPollIntervalMs);
    connect(&mPollTimer, &QTimer::timeout, this, [this] {
        if (mThreadEnded.load(std::memory_order_acquire))
            finishRun();
        else
            poll();
    });
}

PhotoHost::~PhotoHost() {
    // Receivers may already be half torn down (a window that owns the host), so the wait
    // emits nothing.
    const bool wasBlocked = blockSignals(true);
    mShutDown = true;
    waitForRunToEnd();
    blockSignals(wasBlocked);
}

bool PhotoHost::setImageFiles(const QStringList &paths) {
    if (mExporting)
        return false;
    QMutexLocker lock(&mFilesMutex);
    // The same list again keeps a photo converted ahead for it.
    if (mFiles != paths) {
        mFiles = paths;
        ++mGeneration;
    }
    return true;
}

bool PhotoHost::addImageFile(const QString &path) {
    if (mExporting)
        return false;
    QMutexLocker lock(&mFilesMutex);
    mFiles.append(path);
    ++mGeneration;
    return true;
}

QStringList PhotoHost::imageFiles() const {
    QMutexLocker lock(&mFilesMutex);
    return mFiles;
}

int PhotoHost::imageCount() {
    QMutexLocker lock(&mFilesMutex);
    return int(mFiles.size());
}

void PhotoHost::setPlugin(ExportPluginProtocol *plugin) {
    if (mExporting) {
        qCWarning(lcPhotoHost) << "plug-in not changed: an export is under way";
        return;
    }
    mPlugin = plugin;
}

QString PhotoHost::destination() const {
    if (!mDestination.isNull() || !mPlugin)
        return mDestination;
    return mPlugin->getDestinationPath();
}

void PhotoHost::setDestination(const QString &folder) {
    mDestination = folder;
}

void PhotoHost::clickExport() {
    if (mExporting) {
        qCInfo(lcPhotoHost) << "export request ignored: an export is under way";
        return;
    }
    Q_EMIT exportRequested();
}

void PhotoHost::startExport() {
    if (mExporting) {
        qCInfo(lcPhotoHost) << "startExport ignored: an export is under way";
        return;
    }
    if (mShutDown || !mPlugin) {
        qCWarning(lcPhotoHost) << "startExport ignored:"
                               << (mShutDown ? "the host is shutting down" : "no plug-in");
        return;
    }
    const QString folder = destination();
    {
        QMutexLocker lock(&mFilesMutex);
        mExportFailure.reset();
        mWritten.clear(); // written outside any run: not this run's to remove
    }
    mRemovalFailure.reset();
    mRunPlugin = mPlugin;
    mExporting = true;
    mLast.reset();
    mThreadEnded = false;
    ExportPluginProtocol *plugin = mRunPlugin;
    mThread = std::thread([this, plugin, folder] {
        plugin->performExport(folder);
        mThreadEnded.store(true, std::memory_order_release);
        // The timer would see the flag only at its next tick, up to kPollIntervalMs after the
        // run ended. The event also wakes a main thread that waits for the run in
        // processEvents(); a host gone by then takes its posted events with it.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (mThreadEnded.load(std::memory_order_acquire))
                    finishRun();
            },
            Qt::QueuedConnection);
    });
    mPollTimer.start();
}

PhotoHost::Snapshot PhotoHost::readProgress(ExportPluginProtocol *plugin) {
    Snapshot now;
    plugin->lockProgress();
    if (const PluginProgress *progress = plugin->progress()) {
        now.current = progress->currentItem;
        now.total = progress->totalItems;
        now.message = progress->message; // copied under the lock: the run may replace it
        now.cancelled = progress->shouldCancel;
    }
    plugin->unlockProgress();
    return now;
}

bool PhotoHost::remember(const Snapshot &now) {
    if (mLast && *mLast == now)
        return false;
    mLast = now;
    return true;
}

void PhotoHost::poll() {
    if (!mRunPlugin)
        return;
    const Snapshot now = readProgress(mRunPlugin);
    if (remember(now))
        Q_EMIT progressChanged(now.current, now.total, now.message);
}

void PhotoHost::finishRun() {
    if (!mExporting)
        return;
    // The thread raised the flag as its last act, so the join is short.
    if (mThread.joinable())
        mThread.join();
    mPollTimer.stop();
    removeWrittenFiles();
    // The state is settled before any signal: a receiver may start the next run or shut down.
    const Snapshot last = readProgress(mRunPlugin);
    mRunPlugin = nullptr;
    mExporting = false;
    if (remember(last))
        Q_EMIT progressChanged(last.current, last.total, last.message);
    Q_EMIT exportFinished(last.cancelled, last.message);
}

void PhotoHost::removeWrittenFiles() {
    QList<Written> written;
    {
        QMutexLocker lock(&mFilesMutex);
        written.swap(mWritten);
    }
    if (mKeepFiles)
        return;
    QString first;
    qsizetype failed = 0;
    for (const Written &file : written) {
        const QByteArray name = QFile::encodeName(file.path);
        struct stat st {};
        int error = 0;
        if (::lstat(name.constData(), &st) != 0)
            error = errno;
        // A file put under the name since (by a person, or by the plug-in itself) is not the
        // one this run wrote, and not ours to remove; nor is ours once changed, when an inode
        // number can come back for another file.
        else if (FileStamp::of(st) != file.stamp)
            continue;
        else if (::unlink(name.constData()) != 0)
            error = errno;
        if (error == 0 || error == ENOENT)
            continue;
        if (failed++ == 0)
            first = QStringLiteral("%1: %2").arg(file.path,
                                                 QString::fromLocal8Bit(std::strerror(error)));
    }
    if (failed == 0)
        return;
    const QString text =
        failed == 1 ? QStringLiteral("a file of the export was not removed: %1").arg(first)
                    : QStringLiteral("%1 files of the export were not removed, the first: %2")
                          .arg(failed)
                          .arg(first);
    qCWarning(lcPhotoHost).noquote() << text;
    mRemovalFailure = platform::Error{QStringLiteral("PhotoHost"), 2, text};
}

void PhotoHost::cancel() {
    if (mExporting)
        mRunPlugin->cancelExport();
}

void PhotoHost::shutdown() {
    mShutDown = true;
    waitForRunToEnd();
}

void PhotoHost::waitForRunToEnd() {
    if (!mExporting)
        return;
    mRunPlugin->cancelExport();
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != thread()) {
        // No event loop to serve: nothing could carry out the run's call onto the main thread
        // anyway.
        if (mThread.joinable())
            mThread.join();
        finishRun();
        return;
    }
    // Blocking in join() would deadlock: the run's last step is carried out on this thread.
    // A local exec() would return at once after a quit(). The thread posts the run's end when
    // it ends; the timer may finish the run in the meantime.
    while (mExporting && !mThreadEnded.load(std::memory_order_acquire))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    finishRun();
}
