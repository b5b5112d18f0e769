#include "UrlConnection.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace platform {

namespace {
bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

QNetworkReply *sendWith(QNetworkAccessManager &manager, const UrlRequest &request) {
    const QNetworkRequest networkRequest = request.toNetworkRequest();
    if (request.method == "GET")
        return manager.get(networkRequest);
    if (request.method == "HEAD")
        return manager.head(networkRequest);
    if (request.method == "POST")
        return manager.post(networkRequest, request.body);
    return manager.sendCustomRequest(networkRequest, request.method, request.body);
}
} // namespace

UrlConnectionDelegate::~UrlConnectionDelegate() = default;

UrlConnection::UrlConnection(const UrlRequest &request, UrlConnectionDelegate *delegate,
                             QObject *parent)
    : QObject(parent)
    , mRequest(request)
    , mDelegate(delegate)
    , mManager(std::make_unique<QNetworkAccessManager>())
    , mTimer(new QTimer(this)) {
    mTimer->setSingleShot(true);
    // A coarse timer may fire several percent early; the limit is a promise to the user.
    mTimer->setTimerType(Qt::PreciseTimer);
    connect(mTimer, &QTimer::timeout, this, &UrlConnection::onTimeout);
}

UrlConnection::~UrlConnection() {
    mEnded = true;
    dropReply();
}

void UrlConnection::start() {
    if (mStarted)
        return;
    mStarted = true;
    QPointer<UrlConnection> self(this);
    const UrlRequest first = mDelegate->willSendRequest(this, mRequest, nullptr);
    if (self.isNull() || mEnded)
        return;
    send(first);
}

void UrlConnection::cancel() {
    mEnded = true;
    dropReply();
}

bool UrlConnection::isRunning() const {
    return mStarted && !mEnded;
}

void UrlConnection::send(const UrlRequest &request) {
    mRequest = request;
    QNetworkReply *reply = sendWith(*mManager, request);
    mReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    mTimer->start(request.timeout);
}

void UrlConnection::dropReply() {
    mTimer->stop();
    if (QNetworkReply *reply = mReply.data()) {
        mReply = nullptr;
        // abort() finishes the reply at once; nothing of ours may hear that.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}

void UrlConnection::fail(const Error &error) {
    mEnded = true;
    dropReply();
    mDelegate->didFailWithError(this, error);
}

void UrlConnection::onTimeout() {
    if (mEnded)
        return;
    fail(networkError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out.")));
}

UrlRequest UrlConnection::redirectRequest(const UrlResponse &response, const QUrl &target) const {
    UrlRequest next = mRequest;
    next.url = target;
    const int status = response.statusCode;
    const bool toGet = (status == 303 && next.method != "HEAD") ||
                       ((status == 301 || status == 302) && next.method == "POST");
    if (toGet) {
        // As a browser does: the body and the fields that describe it stay behind.
        next.method = "GET";
        next.body.clear();
        for (const char *field : {"Content-Type", "Content-Length", "Content-Encoding",
                                  "Content-Language", "Content-Location"})
            next.removeField(field);
    }
    return next;
}

void UrlConnection::onFinished(QNetworkReply *reply) {
    if (reply != mReply.data() || mEnded)
        return;
    mTimer->stop();
    mReply = nullptr;
    reply->deleteLater();

    if (MaybeError error = transportErrorOf(reply)) {
        fail(*error);
        return;
    }
    const UrlResponse response = responseOf(reply);
    QPointer<UrlConnection> self(this);

    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (isRedirectStatus(response.statusCode) && target.isValid()) {
        if (++mRedirects > kMaxRedirects) {
            fail(networkError(QNetworkReply::TooManyRedirectsError,
                              QStringLiteral("Too many redirects.")));
            return;
        }
        // A relative Location resolves against the URL that answered.
        const UrlRequest proposed = redirectRequest(response, reply->url().resolved(target));
        const UrlRequest next = mDelegate->willSendRequest(this, proposed, &response);
        if (self.isNull() || mEnded)
            return;
        send(next);
        return;
    }

    const QByteArray body = reply->readAll();
    mDelegate->didReceiveResponse(this, response);
    if (self.isNull() || mEnded)
        return;
    if (!body.isEmpty()) {
        mDelegate->didReceiveData(this, body);
        if (self.isNull() || mEnded)
            return;
    }
    mEnded = true;
    mDelegate->didFinishLoading(this);
}

} // namespace platform
