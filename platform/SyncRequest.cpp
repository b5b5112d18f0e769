#include "SyncRequest.h"

#include "NetworkThread.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace platform {

namespace {

// How much longer than the request's own limit the caller waits before it gives up on the
// network thread itself (a teardown must never hang on it).
constexpr std::chrono::milliseconds kCallerGrace{1000};

Error timedOut() {
    return networkError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out."));
}

SyncResult failure(const Error &error) {
    return SyncResult{std::nullopt, std::nullopt, error};
}

class SyncJob : public detail::NetworkJob, public std::enable_shared_from_this<SyncJob> {
public:
    explicit SyncJob(const UrlRequest &request)
        : mRequest(request) {}

    void run(QNetworkAccessManager &manager) override {
        if (isDone()) {
            detail::retire(this);
            return;
        }
        QNetworkRequest networkRequest = mRequest.toNetworkRequest();
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::NoLessSafeRedirectPolicy);
        networkRequest.setMaximumRedirectsAllowed(20);
        QNetworkReply *reply = nullptr;
        if (mRequest.method == "GET")
            reply = manager.get(networkRequest);
        else if (mRequest.method == "POST")
            reply = manager.post(networkRequest, mRequest.body);
        else
            reply = manager.sendCustomRequest(networkRequest, mRequest.method, mRequest.body);

        auto *timer = new QTimer(reply);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        std::shared_ptr<SyncJob> self = shared_from_this();
        QObject::connect(timer, &QTimer::timeout, reply, [self, reply] {
            QObject::disconnect(reply, &QNetworkReply::finished, nullptr, nullptr);
            reply->abort();
            reply->deleteLater();
            self->complete(failure(timedOut()));
            detail::retire(self.get());
        });
        QObject::connect(reply, &QNetworkReply::finished, reply, [self, reply, timer] {
            timer->stop();
            reply->deleteLater();
            if (MaybeError error = transportErrorOf(reply))
                self->complete(failure(*error));
            else
                self->complete(SyncResult{reply->readAll(), responseOf(reply), std::nullopt});
            detail::retire(self.get());
        });
        timer->start(mRequest.timeout);
    }

    void stop(const Error &why) override { complete(failure(why)); }

    // First outcome wins; later ones (a late answer after the caller gave up) are dropped.
    void complete(SyncResult result) {
        std::lock_guard locker(mLock);
        if (mDone)
            return;
        mDone = true;
        mResult = std::move(result);
        mCondition.notify_all();
    }

    SyncResult wait(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock locker(mLock);
        mCondition.wait_until(locker, deadline, [this] { return mDone; });
        if (!mDone) {
            mDone = true;
            mResult = failure(timedOut());
        }
        return mResult;
    }

private:
    bool isDone() {
        std::lock_guard locker(mLock);
        return mDone;
    }

    const UrlRequest mRequest;
    // Standard primitives rather than Qt's: ThreadSanitizer sees through them.
    std::mutex mLock;
    std::condition_variable mCondition;
    bool mDone = false;
    SyncResult mResult;
};

} // namespace

SyncResult sendSynchronousRequest(const UrlRequest &request) {
    auto job = std::make_shared<SyncJob>(request);
    if (!detail::submit(job)) {
        return failure(networkError(QNetworkReply::OperationCanceledError,
                                    QStringLiteral("The network is not running.")));
    }
    return job->wait(std::chrono::steady_clock::now() + request.timeout + kCallerGrace);
}

} // namespace platform
