#include "SyncRequest.h"

#include "NetworkThread.h"
#include "SocketExchange.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <condition_variable>
#include <mutex>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How much longer than the request's silence limit the caller waits before it gives up on the
// network thread itself (a teardown must never hang on it).
constexpr std::chrono::milliseconds kCallerGrace{1000};

SyncResult failure(const Error &error) {
    return SyncResult{std::nullopt, std::nullopt, error};
}

class SyncJob : public detail::NetworkJob, public std::enable_shared_from_this<SyncJob> {
public:
    SyncJob(const UrlRequest &request, std::function<void()> onMoved)
        : mRequest(request)
        , mOnMoved(std::move(onMoved)) {}

    void run(QNetworkAccessManager &manager) override {
        if (isDone()) {
            detail::retire(this);
            return;
        }
        std::shared_ptr<SyncJob> self = shared_from_this();
        // A child of the manager, so it goes with the network thread if that ends first.
        auto *exchange = new detail::SocketExchange(
            mRequest, QList<QUrl>{mRequest.url} + mRequest.redirectOrigins, &manager,
            [self](const detail::SocketExchange::Outcome &outcome) {
                if (outcome.error)
                    self->complete(failure(*outcome.error));
                else
                    self->complete(SyncResult{outcome.body, outcome.response, std::nullopt});
                detail::retire(self.get());
            },
            [self] { self->moved(); });
        exchange->start();
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

    // Bytes moved: the caller's own deadline moves with the exchange's silence limit.
    // Under the lock, and only while the caller waits: once wait() has returned, whatever the
    // callback touches may be gone.
    void moved() {
        std::lock_guard locker(mLock);
        mLastMoved = Clock::now();
        if (!mDone && mOnMoved)
            mOnMoved();
    }

    SyncResult wait() {
        std::unique_lock locker(mLock);
        while (!mDone) {
            const Clock::time_point deadline = mLastMoved + mRequest.timeout + kCallerGrace;
            if (Clock::now() >= deadline) {
                mDone = true;
                mResult = failure(timedOut());
                break;
            }
            mCondition.wait_until(locker, deadline);
        }
        return mResult;
    }

private:
    bool isDone() {
        std::lock_guard locker(mLock);
        return mDone;
    }

    const UrlRequest mRequest;
    const std::function<void()> mOnMoved;
    // Standard primitives rather than Qt's: ThreadSanitizer sees through them.
    std::mutex mLock;
    std::condition_variable mCondition;
    bool mDone = false;
    Clock::time_point mLastMoved = Clock::now();
    SyncResult mResult;
};

} // namespace

SyncResult sendSynchronousRequest(const UrlRequest &request) {
    return sendSynchronousRequest(request, {});
}

SyncResult sendSynchronousRequest(const UrlRequest &request, std::function<void()> moved) {
    auto job = std::make_shared<SyncJob>(request, std::move(moved));
    if (!detail::submit(job)) {
        return failure(networkError(QNetworkReply::OperationCanceledError,
                                    QStringLiteral("The network is not running.")));
    }
    return job->wait();
}

} // namespace platform
