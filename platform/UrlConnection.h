#pragma once

#include "UrlRequest.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace platform {

namespace detail {
class ReplyWatch;
}

class UrlConnection;

// What an asynchronous exchange tells its owner, on the thread that created the connection while
// that thread runs its event loop. After didFailWithError or didFinishLoading nothing more comes.
class UrlConnectionDelegate {
public:
    virtual ~UrlConnectionDelegate();

    // Asked for the request to send: once before the first request (no redirect response), then
    // for each redirect with the request a browser would send next as `proposed`.
    virtual UrlRequest willSendRequest(UrlConnection *connection, const UrlRequest &proposed,
                                       const UrlResponse *redirectResponse) = 0;
    // The final answer (any status); its body follows in didReceiveData.
    virtual void didReceiveResponse(UrlConnection *connection, const UrlResponse &response) = 0;
    virtual void didReceiveData(UrlConnection *connection, const QByteArray &data) = 0;
    // A transport failure, the silence limit, an answer past kMaxAnswerBytes, too many
    // redirects, or a redirect to a place the request does not allow (nothing is sent there).
    virtual void didFailWithError(UrlConnection *connection, const Error &error) = 0;
    virtual void didFinishLoading(UrlConnection *connection) = 0;
};

// An asynchronous HTTP exchange that follows redirects itself, asking its delegate before each
// request. It uses a network manager of its own on the creating thread, with Qt's cookie jar,
// cache and redirect following all kept out. A redirect is followed only within the places the
// first request allows (its own and its redirectOrigins), and is checked before the delegate
// hears of it. A POST is sent once, never again by the stack on its own.
class UrlConnection : public QObject {
    Q_OBJECT
public:
    // At most this many redirects are followed; the next one fails the exchange.
    static constexpr int kMaxRedirects = platform::kMaxRedirects;

    // The delegate is not owned and must outlive the connection or cancel it first.
    UrlConnection(const UrlRequest &request, UrlConnectionDelegate *delegate,
                  QObject *parent = nullptr);
    ~UrlConnection() override;

    void start();
    // Stops the exchange; no callback comes after this returns. Safe from within a callback.
    void cancel();
    bool isRunning() const;

private:
    void send(const UrlRequest &request);
    void onAnswer(const UrlResponse &response, const QUrl &target, const QByteArray &body);
    void fail(const Error &error);
    void dropReply();

    UrlRequest mRequest;        // the one in flight
    const QList<QUrl> mOrigins; // where redirects may lead
    UrlConnectionDelegate *mDelegate;
    std::unique_ptr<QNetworkAccessManager> mManager;
    QPointer<detail::ReplyWatch> mWatch; // of the reply in flight
    int mRedirects = 0;
    bool mStarted = false;
    bool mEnded = false;
};

} // namespace platform
