#pragma once

// Internal to the platform layer: what every exchange does with a reply in flight, whether the
// login's asynchronous one or a synchronous one on the network thread.

#include "UrlRequest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace platform::detail {

// Sends the request as it is. A POST goes out with a body that can be read once and never
// rewound, on a connection of its own, so the network stack can never send it a second time
// by itself. Under UserVerifiedRedirectPolicy the stack follows at most 20 redirects, each once
// a ReplyWatch has allowed it.
QNetworkReply *
sendOnce(QNetworkAccessManager &manager, const UrlRequest &request,
         QNetworkRequest::RedirectPolicy redirects = QNetworkRequest::ManualRedirectPolicy);

// Watches one reply and ends it once: with its answer, or with a failure when
// - the answer's body grows past kMaxAnswerBytes (the body is read as it arrives, so memory
//   stays bounded whatever the peer sends);
// - no byte has moved either way for `silence` (a slow peer that keeps moving is not cut off);
// - the stack is about to follow a redirect to a place `allowed` does not name (only with
//   UserVerifiedRedirectPolicy; a manual redirect is the owner's to check).
// Lives on the reply's thread as the reply's child; the reply is aborted and deleted later
// when the watch ends it.
class ReplyWatch : public QObject {
public:
    struct Outcome {
        MaybeError error;     // a transport failure, the silence limit, a bound broken
        UrlResponse response; // the answer (status 0 when none came)
        QUrl redirectTarget;  // Location resolved against the URL that answered, if any
        QByteArray body;      // at most kMaxAnswerBytes
    };
    using Done = std::function<void(const Outcome &)>;

    ReplyWatch(QNetworkReply *reply, std::chrono::milliseconds silence, QList<QUrl> allowed,
               Done done, std::function<void()> activity = {});

    // Ends the exchange without calling back.
    void cancel();

private:
    void moved();
    void read();
    void finish();
    void end(const Outcome &outcome);

    QNetworkReply *mReply;
    QTimer *mSilence;
    const QList<QUrl> mAllowed;
    Done mDone;
    std::function<void()> mActivity;
    QByteArray mBody;
    bool mEnded = false;
};

} // namespace platform::detail
