#pragma once

// Internal to the platform layer: what the login's asynchronous exchange does with a reply in
// flight.

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

// Sends the request as it is, redirects left to the caller. A POST goes out with a body that
// can be read once and never rewound, on a connection of its own, so the network stack can
// never send it a second time by itself.
QNetworkReply *sendOnce(QNetworkAccessManager &manager, const UrlRequest &request);

// Watches one reply and ends it once: with its answer, or with a failure when
// - the answer's body grows past kMaxAnswerBytes (the body is read as it arrives, so memory
//   stays bounded whatever the peer sends);
// - no byte has moved either way for `silence` (a slow peer that keeps moving is not cut off).
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

    ReplyWatch(QNetworkReply *reply, std::chrono::milliseconds silence, Done done,
               std::function<void()> activity = {});

    // Ends the exchange without calling back.
    void cancel();

private:
    void moved();
    void read();
    void finish();
    void end(const Outcome &outcome);

    QNetworkReply *mReply;
    QTimer *mSilence;
    Done mDone;
    std::function<void()> mActivity;
    QByteArray mBody;
    bool mEnded = false;
};

} // namespace platform::detail
