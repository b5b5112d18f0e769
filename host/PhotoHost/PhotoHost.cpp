#include "PhotoHost.h"
#include "PhotoHostLog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMutexLocker>
#include <QThread>

Q_LOGGING_CATEGORY(lcPhotoHost, "nubelo.host")

PhotoHost::PhotoHost(QObject *parent)
    : QObject(parent) {
    m_pollTimer.setInterval(kPollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] {
        if (m_threadEnded.load(std::memory_order_acquire))
            finishRun();
        else
            poll();
    });
}

PhotoHost::~PhotoHost() {
    // Receivers may already be half torn down (a window that owns the host), so the wait
    // emits nothing.
    const bool wasBlocked = blockSignals(true);
    m_shutDown = true;
    waitForRunToEnd();
    blockSignals(wasBlocked);
}

bool PhotoHost::setImageFiles(const QStringList &paths) {
    if (m_exporting)
        return false;
    QMutexLocker lock(&m_filesMutex);
    m_files = paths;
    ++m_generation;
    return true;
}

bool PhotoHost::addImageFile(const QString &path) {
    if (m_exporting)
        return false;
    QMutexLocker lock(&m_filesMutex);
    m_files.append(path);
    ++m_generation;
    return true;
}

QStringList PhotoHost::imageFiles() const {
    QMutexLocker lock(&m_filesMutex);
    return m_files;
}

int PhotoHost::imageCount() {
    QMutexLocker lock(&m_filesMutex);
    return int(m_files.size());
}

void PhotoHost::setPlugin(ExportPluginProtocol *plugin) {
    if (m_exporting) {
        qCWarning(lcPhotoHost) << "plug-in not changed: an export is under way";
        return;
    }
    m_plugin = plugin;
}

QString PhotoHost::destination() const {
    if (!m_destination.isNull() || !m_plugin)
        return m_destination;
    return m_plugin->getDestinationPath();
}

void PhotoHost::setDestination(const QString &folder) {
    m_destination = folder;
}

void PhotoHost::clickExport() {
    if (m_exporting) {
        qCInfo(lcPhotoHost) << "export request ignored: an export is under way";
        return;
    }
    Q_EMIT exportRequested();
}

void PhotoHost::startExport() {
    if (m_exporting) {
        qCInfo(lcPhotoHost) << "startExport ignored: an export is under way";
        return;
    }
    if (m_shutDown || !m_plugin) {
        qCWarning(lcPhotoHost) << "startExport ignored:"
                               << (m_shutDown ? "the host is shutting down" : "no plug-in");
        return;
    }
    const QString folder = destination();
    {
        // A photo converted ahead for an earlier run may have changed on disc since.
        QMutexLocker lock(&m_filesMutex);
        ++m_generation;
        m_exportFailure.clear();
    }
    m_runPlugin = m_plugin;
    m_exporting = true;
    m_last.reset();
    m_threadEnded = false;
    ExportPluginProtocol *plugin = m_runPlugin;
    QAbstractEventDispatcher *mainLoop = QAbstractEventDispatcher::instance();
    m_thread = std::thread([this, plugin, folder, mainLoop] {
        plugin->performExport(folder);
        m_threadEnded.store(true, std::memory_order_release);
        // The timer would see the flag at its next tick; a main thread that waits for the run
        // in processEvents() needs the wake-up.
        if (mainLoop)
            mainLoop->wakeUp();
    });
    m_pollTimer.start();
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
    if (m_last && *m_last == now)
        return false;
    m_last = now;
    return true;
}

void PhotoHost::poll() {
    if (!m_runPlugin)
        return;
    const Snapshot now = readProgress(m_runPlugin);
    if (remember(now))
        Q_EMIT progressChanged(now.current, now.total, now.message);
}

void PhotoHost::finishRun() {
    if (!m_exporting)
        return;
    // The thread raised the flag as its last act, so the join is short.
    if (m_thread.joinable())
        m_thread.join();
    m_pollTimer.stop();
    // The state is settled before any signal: a receiver may start the next run or shut down.
    const Snapshot last = readProgress(m_runPlugin);
    m_runPlugin = nullptr;
    m_exporting = false;
    if (remember(last))
        Q_EMIT progressChanged(last.current, last.total, last.message);
    Q_EMIT exportFinished(last.cancelled, last.message);
}

void PhotoHost::cancel() {
    if (m_exporting)
        m_runPlugin->cancelExport();
}

void PhotoHost::shutdown() {
    m_shutDown = true;
    waitForRunToEnd();
}

void PhotoHost::waitForRunToEnd() {
    if (!m_exporting)
        return;
    m_runPlugin->cancelExport();
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != thread()) {
        // No event loop to serve: nothing could carry out the run's call onto the main thread
        // anyway.
        if (m_thread.joinable())
            m_thread.join();
        finishRun();
        return;
    }
    // Blocking in join() would deadlock: the run's last step is carried out on this thread.
    // A local exec() would return at once after a quit(). The thread wakes the loop when it
    // ends; the timer may finish the run in the meantime.
    while (m_exporting && !m_threadEnded.load(std::memory_order_acquire))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    finishRun();
}
