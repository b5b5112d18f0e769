#pragma once

// Internal to the platform layer: the HTTP/1.1 client that synchronous requests use.

#include "UrlRequest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>

class QTcpSocket;
class QTimer;

namespace platform::detail {

// One exchange over plain HTTP/1.1, redirects included, run by the thread it lives on (the
// network thread). It exists so that a request goes to the kernel as it is: head and body are
// handed to the socket whole and leave in as few writes as the kernel takes, with no hand-over
// between threads on the way. Qt's stack passes a body to an HTTP thread of its own 16 KiB at a
// time, a round trip between two threads per piece, which cost an upload more than its bytes.
//
// What a caller may rely on:
// - every request goes on a connection of its own ("Connection: close"), and a body is sent
//   once: a redirect that would send it again (307, 308) fails the exchange instead, so the
//   caller decides what happened (an upload asks the site's queue);
// - redirects are followed as a browser follows them (redirectedRequest()), at most
//   kMaxRedirects, each only to a place `allowed` names: the request's fields, its Cookie field
//   among them, go along;
// - the answer's header block is at most 64 KiB and its body at most kMaxAnswerBytes, whatever
//   the peer sends; repeated fields are joined as Qt joins them (Set-Cookie with "\n", others
//   with ", ");
// - the exchange fails once no byte has moved either way for the request's timeout;
// - a header field holding CR, LF or NUL is refused before anything is sent: a value taken from
//   an earlier answer (a cookie) can never add fields of its own.
// `done` is called once, unless the object is destroyed first (the network thread ending);
// the object deletes itself after that call. `moved` is called each time a byte moves.
class SocketExchange : public QObject {
public:
    struct Outcome {
        MaybeError error;     // a transport failure, the silence limit, a bound broken
        UrlResponse response; // the final answer (status 0 when none came)
        QByteArray body;
    };
    using Done = std::function<void(const Outcome &)>;

    // Plain HTTP is all it speaks.
    static bool speaks(const QUrl &url);

    SocketExchange(UrlRequest request, QList<QUrl> allowed, QObject *parent, Done done,
                   std::function<void()> moved);
    void start();

private:
    enum class Stage { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer };

    void send();
    void moved();
    void read();
    void parse();
    bool parseHead(const QByteArray &head);
    bool takeBody(qsizetype n);
    void answered();
    void closed();
    void fail(const Error &error);
    void end(const Outcome &outcome);

    UrlRequest mRequest; // what is sent now: a redirect replaces it
    const QList<QUrl> mAllowed;
    Done mDone;
    const std::function<void()> mMoved;
    QTcpSocket *mSocket = nullptr;
    QTimer *mSilence;
    int mRedirects = 0;
    bool mEnded = false;

    // The answer being read.
    Stage mStage = Stage::Head;
    QByteArray mIn; // read, not yet parsed
    UrlResponse mResponse;
    QByteArray mBody;
    qint64 mLeft = -1; // body or chunk bytes still to come; -1: until the peer closes
};

} // namespace platform::detail
