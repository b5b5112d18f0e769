#include "SyncRequest.h"

#include "NetworkThread.h"

#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <cstring>
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

// A request body that can be read once and never rewound. Qt sends a request again by itself
// when the connection closes before the answer came, rewinding the body to do so; a site that
// had stored an upload before the connection went would then store it twice. With this body
// the rewind fails, the exchange ends with an error, and the caller decides what happened
// (an upload asks the site's queue).
class OneShotBody : public QIODevice {
public:
    explicit OneShotBody(QByteArray bytes)
        : mBytes(std::move(bytes)) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    bool atEnd() const override { return mRead == mBytes.size(); }
    qint64 bytesAvailable() const override { return mBytes.size() - mRead; }

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        const qint64 n = std::min(maxSize, mBytes.size() - mRead);
        std::memcpy(data, mBytes.constData() + mRead, size_t(n));
        mRead += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const QByteArray mBytes;
    qint64 mRead = 0;
};

// POSTs go out with a body that cannot be sent twice, each on a connection of its own: on a
// kept-alive connection the server may close it just as the request leaves, which would now
// fail the exchange where a resend used to heal it.
QNetworkReply *post(QNetworkAccessManager &manager, QNetworkRequest request,
                    const QByteArray &body) {
    request.setRawHeader("Connection", "close");
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    auto *device = new OneShotBody(body);
    QNetworkReply *reply = manager.post(request, device);
    device->setParent(reply);
    return reply;
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
            reply = post(manager, networkRequest, mRequest.body);
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
