#include "NetworkThread.h"

#include "UrlRequest.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>

#include <future>
#include <vector>

namespace platform {

namespace {

class Worker : public QObject {
public:
    QNetworkAccessManager manager;
};

class Thread : public QThread {
public:
    std::promise<Worker *> ready;

protected:
    void run() override {
        Worker worker;
        ready.set_value(&worker);
        exec();
        // The worker and its manager go with this frame, aborting whatever is in flight;
        // shutdown() then stops the jobs still registered.
    }
};

struct Network {
    QMutex lock;
    Thread *thread = nullptr;
    Worker *worker = nullptr;
    bool shutDown = false;
    std::vector<std::shared_ptr<detail::NetworkJob>> jobs;
};

Network &network() {
    static Network *instance = new Network; // never destroyed: the thread may outlive statics
    return *instance;
}

void startLocked(Network &n) {
    auto *thread = new Thread;
    thread->setObjectName(QStringLiteral("platform.network"));
    std::future<Worker *> worker = thread->ready.get_future();
    thread->start();
    n.worker = worker.get();
    n.thread = thread;
    if (QCoreApplication::instance() != nullptr)
        qAddPostRoutine(&platform::shutdown);
}

} // namespace

void shutdown() {
    Network &n = network();
    Thread *thread = nullptr;
    {
        QMutexLocker locker(&n.lock);
        if (n.shutDown)
            return;
        n.shutDown = true;
        thread = n.thread;
    }
    if (thread != nullptr) {
        thread->quit();
        thread->wait();
    }
    std::vector<std::shared_ptr<detail::NetworkJob>> left;
    {
        QMutexLocker locker(&n.lock);
        n.worker = nullptr;
        n.thread = nullptr;
        left.swap(n.jobs);
    }
    delete thread;
    const Error stopped =
        networkError(QNetworkReply::OperationCanceledError, QStringLiteral("The network stopped."));
    for (const auto &job : left)
        job->stop(stopped);
}

bool networkAvailable() {
    Network &n = network();
    QMutexLocker locker(&n.lock);
    return !n.shutDown;
}

namespace detail {

NetworkJob::~NetworkJob() = default;

bool submit(const std::shared_ptr<NetworkJob> &job) {
    Network &n = network();
    QMutexLocker locker(&n.lock);
    if (n.shutDown)
        return false;
    if (n.thread == nullptr)
        startLocked(n);
    if (QThread::currentThread() == n.thread)
        return false;
    n.jobs.push_back(job);
    Worker *worker = n.worker;
    // Queued while the lock is held, so the worker cannot be gone yet; if the thread ends before
    // the call runs, shutdown() stops the job. The call takes the lock once before it reads
    // what it captured: Qt's event queue orders the two threads with a lock ThreadSanitizer
    // cannot see (Qt is not built with it), ours it can.
    QMetaObject::invokeMethod(
        worker,
        [worker, job] {
            { QMutexLocker handedOver(&network().lock); }
            job->run(worker->manager);
        },
        Qt::QueuedConnection);
    return true;
}

void retire(const NetworkJob *job) {
    Network &n = network();
    QMutexLocker locker(&n.lock);
    std::erase_if(n.jobs, [job](const auto &held) { return held.get() == job; });
}

} // namespace detail
} // namespace platform
