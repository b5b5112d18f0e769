#include "UrlConnection.h"

#include "ReplyWatch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace platform {

UrlConnectionDelegate::~UrlConnectionDelegate() = default;

UrlConnection::UrlConnection(const UrlRequest &request, UrlConnectionDelegate *delegate,
                             QObject *parent)
    : QObject(parent)
    , mRequest(request)
    , mOrigins(QList<QUrl>{request.url} + request.redirectOrigins)
    , mDelegate(delegate)
    , mManager(std::make_unique<QNetworkAccessManager>()) {}

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
    QNetworkReply *reply = detail::sendOnce(*mManager, request);
    // Redirects are ours to follow: the reply stops at each one.
    mWatch = new detail::ReplyWatch(
        reply, request.timeout, [this](const detail::ReplyWatch::Outcome &outcome) {
            mWatch = nullptr;
            if (outcome.error)
                fail(*outcome.error);
            else
                onAnswer(outcome.response, outcome.redirectTarget, outcome.body);
        });
}

void UrlConnection::dropReply() {
    if (detail::ReplyWatch *watch = mWatch.data()) {
        mWatch = nullptr;
        watch->cancel();
    }
}

void UrlConnection::fail(const Error &error) {
    if (mEnded)
        return;
    mEnded = true;
    dropReply();
    mDelegate->didFailWithError(this, error);
}

void UrlConnection::onAnswer(const UrlResponse &response, const QUrl &target,
                             const QByteArray &body) {
    if (mEnded)
        return;
    QPointer<UrlConnection> self(this);

    if (isRedirectStatus(response.statusCode) && target.isValid()) {
        if (++mRedirects > kMaxRedirects) {
            fail(tooManyRedirects());
            return;
        }
        // Checked before the delegate hears of it: the request it would send there carries
        // what the site was given (a session cookie, a login's body).
        if (!mayRedirectTo(mOrigins, target)) {
            fail(redirectedElsewhere(target));
            return;
        }
        const UrlRequest proposed = redirectedRequest(mRequest, response.statusCode, target);
        const UrlRequest next = mDelegate->willSendRequest(this, proposed, &response);
        if (self.isNull() || mEnded)
            return;
        send(next);
        return;
    }

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
