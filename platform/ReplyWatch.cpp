#include "ReplyWatch.h"

#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace platform::detail {

namespace {

// How much of an answer the stack may hold for us before it stops reading the socket; the rest
// waits in the peer's send buffer until we have read this much.
constexpr qint64 kReadBuffer = 256 * 1024;

// A request body that can be read once and never rewound. Qt sends a request again by itself
// when the connection closes before the answer came (or the answer is garbled), rewinding the
// body to do so; a site that had stored an upload before the connection went would then store
// it twice, and a login would carry the password out again. With this body the rewind fails,
// the exchange ends with an error, and the caller decides what happened (an upload asks the
// site's queue).
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

} // namespace

QNetworkReply *sendOnce(QNetworkAccessManager &manager, const UrlRequest &request) {
    QNetworkRequest networkRequest = request.toNetworkRequest();
    if (request.method == "GET")
        return manager.get(networkRequest);
    if (request.method == "HEAD")
        return manager.head(networkRequest);
    if (request.method != "POST")
        return manager.sendCustomRequest(networkRequest, request.method, request.body);
    // Each POST on a connection of its own: on a kept-alive connection the server may close it
    // just as the request leaves, which with a body that cannot go twice would fail the
    // exchange where a resend used to heal it.
    networkRequest.setRawHeader("Connection", "close");
    networkRequest.setHeader(QNetworkRequest::ContentLengthHeader, request.body.size());
    networkRequest.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    auto *device = new OneShotBody(request.body);
    QNetworkReply *reply = manager.post(networkRequest, device);
    device->setParent(reply);
    return reply;
}

ReplyWatch::ReplyWatch(QNetworkReply *reply, std::chrono::milliseconds silence, Done done,
                       std::function<void()> activity)
    : QObject(reply)
    , mReply(reply)
    , mSilence(new QTimer(this))
    , mDone(std::move(done))
    , mActivity(std::move(activity)) {
    reply->setReadBufferSize(kReadBuffer);
    mSilence->setSingleShot(true);
    // A coarse timer may fire several percent early; the limit is a promise to the user.
    mSilence->setTimerType(Qt::PreciseTimer);
    mSilence->setInterval(silence);
    connect(mSilence, &QTimer::timeout, this, [this] {
        Outcome outcome;
        outcome.error = timedOut();
        end(outcome);
    });
    connect(reply, &QNetworkReply::uploadProgress, this, &ReplyWatch::moved);
    connect(reply, &QNetworkReply::downloadProgress, this, &ReplyWatch::moved);
    connect(reply, &QNetworkReply::metaDataChanged, this, &ReplyWatch::moved);
    connect(reply, &QNetworkReply::readyRead, this, &ReplyWatch::read);
    connect(reply, &QNetworkReply::finished, this, &ReplyWatch::finish);
    mSilence->start();
}

void ReplyWatch::cancel() {
    mDone = nullptr;
    if (!mEnded)
        end(Outcome());
}

void ReplyWatch::moved() {
    if (mEnded)
        return;
    mSilence->start();
    if (mActivity)
        mActivity();
}

void ReplyWatch::read() {
    if (mEnded)
        return;
    moved();
    const qint64 room = kMaxAnswerBytes - mBody.size();
    mBody += mReply->read(std::min(mReply->bytesAvailable(), room));
    if (mReply->bytesAvailable() > 0) {
        Outcome outcome;
        outcome.error = answerTooLarge();
        end(outcome);
    }
}

void ReplyWatch::finish() {
    if (mEnded)
        return;
    read();
    if (mEnded)
        return;
    Outcome outcome;
    if (MaybeError error = transportErrorOf(mReply)) {
        outcome.error = error;
    } else {
        outcome.response = responseOf(mReply);
        const QUrl target = mReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (target.isValid())
            outcome.redirectTarget = mReply->url().resolved(target);
        outcome.body = std::move(mBody);
    }
    end(outcome);
}

void ReplyWatch::end(const Outcome &outcome) {
    mEnded = true;
    mSilence->stop();
    QNetworkReply *reply = mReply;
    // abort() finishes the reply at once; nothing of ours may hear that.
    disconnect(reply, nullptr, this, nullptr);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
    // Last: the callback may drop whatever owns this watch (it is the reply's child, deleted
    // with it later, so `this` outlives the call).
    if (Done done = std::move(mDone))
        done(outcome);
}

} // namespace platform::detail
