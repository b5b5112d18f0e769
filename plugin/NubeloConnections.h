#pragma once

#include "Error.h"
#include "ExportPluginOutcomes.h"
#include "PluginConfig.h"
#include "SyncRequest.h"
#include "UrlConnection.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QNetworkCookie>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

// The errors the client makes itself (codes below); a refusing answer is in the second domain,
// with the HTTP status as its code.
inline constexpr char kConnectionsErrorDomain[] = "NubeloConnections";
inline constexpr char kHttpStatusErrorDomain[] = "HTTP";
enum ConnectionsErrorCode : int {
    ErrorUnsendableCredentials = 1,
    ErrorNotSignedIn = 2,
};

// The values of the process-wide session state.
enum SessionState : int {
    SessionNone = 0,
    SessionLoggingIn = 1,
    SessionLoggedIn = 3,
    SessionCreatingAlbum = 5,
};

// The plug-in's client of the Nubelo site: signs in and out through the site's web forms, keeps
// the session cookie, uploads photos. One per controller.
//
// Threads: the login runs on the main thread; uploads run on the host's export thread. The
// session state is one process-wide atomic shared by every client; the cookie jar has a mutex
// of its own, and every request copies its Cookie field under it.
class NubeloConnections : public QObject, public platform::UrlConnectionDelegate {
    Q_OBJECT
public:
    // Resets the process-wide session state to SessionNone. The hosts and time limits are
    // `config`'s, fixed for the client's life.
    explicit NubeloConnections(const PluginConfig &config = {});
    // Signs out first when the session state is not SessionNone.
    ~NubeloConnections() override;

    // Signs in through the site's login form and waits for the outcome, spinning the calling
    // thread's events (user input excluded) for at most the login wait; getState() then tells
    // it: SessionLoggedIn means signed in, SessionLoggingIn that the wait ran out. When the wait
    // runs out the exchange is cancelled: nothing of it (an alert, a captured cookie) comes
    // later. If the site's redirect had already come, the user is signed in.
    // The login's body and the session cookie go only to the site host and the upload host: a
    // redirect elsewhere fails the exchange (the failure alert, SessionNone).
    //
    // Answers an error only when no sign-in came of the call:
    //  - the logout that a login in SessionLoggedIn starts with failed (no login was sent; the
    //    state stays SessionLoggedIn without a cookie): that logout's error;
    //  - the login exchange failed before the site had signed the user in: the exchange's
    //    error, which the failure alert has already shown.
    // A failure after the site's redirect leaves the user signed in and answers nothing; so do a
    // refused login and a wait that ran out.
    std::optional<platform::Error> authenticate(const QString &email, const QString &password);
    // Signs out when signed in; always drops the session cookie. The logout's error, if any.
    std::optional<platform::Error> closeSession();

    // The synchronous exchange with the session cookie: no cached answer, the request limit
    // (60 s without a byte moving), the jar's Cookie field when a jar is held, redirects only
    // to the site host and the upload host. Blocks the calling thread.
    platform::SyncResult sendSessionRequest(const QString &url, const QByteArray &method,
                                            const QString &contentType = QString(),
                                            const std::optional<QByteArray> &body = std::nullopt);

    // The upload side. Each operation runs only when signed in (SessionLoggedIn): otherwise it
    // sends nothing and answers the error "Not signed in", since a photo that never left the
    // machine is not an uploaded one. An exchange fails on a transport error, on a redirect to a
    // host other than the two configured ones, on an answer past 4 MiB, after the request limit
    // of silence, or on a final answer whose HTTP status is not 2xx (an error in
    // kHttpStatusErrorDomain whose code is the status; a redirect not followed is one).
    // Nothing means success. None of them shows an alert. They run on any thread.

    // Tells the site that an upload begins. Nothing calls it today.
    std::optional<platform::Error> prepareUpload();
    // Posts the photo (a whole PNG file) to the upload host. When that exchange fails, the
    // queue check for `imageid` decides: the photo may have arrived although its answer was
    // lost. The answer bytes go to the data trace file.
    std::optional<platform::Error> uploadImage(const QByteArray &image, qint32 imageid);
    // Creates `album`, then uploads the photo; the album's error when it could not be created.
    std::optional<platform::Error> uploadImage(const QByteArray &image, qint32 imageid,
                                               const QString &album);
    // Asks the upload host whether the last upload arrived. The body goes to the body trace
    // file before the exchange, the answer to the data trace file.
    std::optional<platform::Error> finishUpload(qint32 qid);
    // Creates an album of that name on the site. The session state reads SessionCreatingAlbum
    // while the exchange runs and SessionLoggedIn again after it, whatever its outcome.
    std::optional<platform::Error> createAlbum(const QString &album);
    // The names of the account's albums, in the site's order, into *albums (left as it was on
    // failure).
    std::optional<platform::Error> listAlbums(QStringList *albums);

    int getState() const;
    // The exchange under way that has been silent longest (a login, or a synchronous request on
    // any thread), or nothing. Any thread.
    std::optional<SiteExchange> exchangeUnderWay() const;
    // The failure of the last login exchange, if one failed.
    std::optional<platform::Error> getError() const;
    // A modal warning alert with one "OK" button, through the UI kit.
    void msgBox(const QString &message, const QString &informativeText);

    // The jar: nothing until a login's redirect captured one (which may be empty).
    std::optional<QList<QNetworkCookie>> cookies() const;

    // The asynchronous exchange's callbacks. Those of a connection that is not the current login
    // exchange change nothing.
    platform::UrlRequest willSendRequest(platform::UrlConnection *connection,
                                         const platform::UrlRequest &proposed,
                                         const platform::UrlResponse *redirectResponse) override;
    void didReceiveResponse(platform::UrlConnection *connection,
                            const platform::UrlResponse &response) override;
    void didReceiveData(platform::UrlConnection *connection, const QByteArray &data) override;
    void didFailWithError(platform::UrlConnection *connection,
                          const platform::Error &error) override;
    void didFinishLoading(platform::UrlConnection *connection) override;

    // Keeps the first cookie named exactly "sid", or else the last cookie; one cookie of any name
    // and an empty list stay as they are.
    static void reduceJar(QList<QNetworkCookie> &jar);

private:
    // The exchange's error, or an error for a final answer whose status is not 2xx.
    static std::optional<platform::Error> exchangeError(const platform::SyncResult &result);
    static platform::Error notSignedIn();
    QString siteUrl(const QString &query) const;
    QString uploadUrl() const;
    QList<QUrl> siteOrigins() const;

    // Records an exchange with `host` under way for exchangeUnderWay(); the answer is its key.
    quint64 beginExchange(const QString &host, std::chrono::milliseconds limit);
    void exchangeMoved(quint64 key);
    void endExchange(quint64 key);

    bool isCurrent(const platform::UrlConnection *connection) const;
    void dropConnection();
    void dropJar();

    // The session state of the whole process (not a field: every client shares it).
    static std::atomic<int> mState;

    mutable QMutex mCookiesLock;
    std::optional<QList<QNetworkCookie>> mCookies; // guarded by mCookiesLock
    QByteArray responseData;
    bool mEndConnection = false;
    std::optional<platform::Error> mError;
    // The failure of the current login exchange, if it failed.
    std::optional<platform::Error> mExchangeError;

    mutable QMutex mExchangesLock;
    quint64 mLastExchangeKey = 0;                             // guarded by mExchangesLock
    std::vector<std::pair<quint64, SiteExchange>> mExchanges; // guarded by mExchangesLock

    std::unique_ptr<platform::UrlConnection> mConnection; // the current login exchange
    // Superseded exchanges that were dropped while one of our callbacks was on the stack; freed
    // once none is.
    std::vector<std::unique_ptr<platform::UrlConnection>> mRetired;
    int mInCallback = 0;

    const QString mSiteHost;
    const QString mUploadHost;
    const std::chrono::milliseconds mLoginWait;
    const std::chrono::milliseconds mRequestLimit;
};
