#include "NubeloConnections.h"
#include "NubeloConnections_p.h"

#include "Cookies.h"
#include "WebExtensions.h"
#include "ui/Application.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcConnections, "nubelo.connections")

std::atomic<int> NubeloConnections::mState{SessionNone};

namespace {

// Seconds since 1970 truncated toward zero, as a signed 32-bit number in plain decimal.
QString timestampText() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
    return QString::number(static_cast<qint32>(seconds));
}

// A form value for the login body. A standard form decoder reads "+" as a space, and the
// escaping keeps "+", so a plus-addressed e-mail or a password with "+" would never match.
std::optional<QString> formValue(const QString &value) {
    std::optional<QString> escaped = WebExtensions::stringByAddingPercentEscapes(value);
    if (escaped)
        escaped->replace(QLatin1Char('+'), QLatin1String("%2B"));
    return escaped;
}

void traceAnswer(const platform::SyncResult &result) {
    if (result.data)
        NubeloConnectionsPrivate::writeTraceFile(NubeloConnectionsPrivate::kTraceDataPath,
                                                 *result.data);
}

// Counts a delegate callback in progress, so that an exchange dropped meanwhile is not freed
// under its own feet.
class CallbackScope {
public:
    explicit CallbackScope(int &depth)
        : mDepth(depth) {
        ++mDepth;
    }
    ~CallbackScope() { --mDepth; }
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;

private:
    int &mDepth;
};

} // namespace

NubeloConnections::NubeloConnections(const PluginConfig &config)
    : mSiteHost(config.siteHost)
    , mUploadHost(config.uploadHost)
    , mLoginWait(config.loginWait)
    , mRequestLimit(config.requestLimit) {
    mState.store(SessionNone);
}

QString NubeloConnections::siteUrl(const QString &query) const {
    return QStringLiteral("http://") + mSiteHost + query;
}

QString NubeloConnections::uploadUrl() const {
    return QStringLiteral("http://") + mUploadHost + QStringLiteral("?upload=1&iframe=1");
}

// The two places the session cookie and the login's body may ever go: a redirect anywhere else
// fails its exchange instead of carrying them there.
QList<QUrl> NubeloConnections::siteOrigins() const {
    return {QUrl(siteUrl(QString())), QUrl(QStringLiteral("http://") + mUploadHost)};
}

NubeloConnections::~NubeloConnections() {
    // A login still running must not call back into a half-destroyed client.
    dropConnection();
    if (getState() != SessionNone)
        closeSession();
    {
        QMutexLocker locker(&mCookiesLock);
        if (mCookies) {
            mCookies.reset();
            mState.store(SessionNone);
        }
    }
    mError.reset();
}

int NubeloConnections::getState() const {
    return mState.load();
}

std::optional<platform::Error> NubeloConnections::getError() const {
    return mError;
}

void NubeloConnections::msgBox(const QString &message, const QString &informativeText) {
    if (ui::Application *application = ui::app())
        application->msgBox(message, informativeText);
}

std::optional<SiteExchange> NubeloConnections::exchangeUnderWay() const {
    QMutexLocker locker(&mExchangesLock);
    std::optional<SiteExchange> longest;
    for (const auto &[key, exchange] : mExchanges) {
        if (!longest || exchange.silentSince < longest->silentSince)
            longest = exchange;
    }
    return longest;
}

quint64 NubeloConnections::beginExchange(const QString &host, std::chrono::milliseconds limit) {
    QMutexLocker locker(&mExchangesLock);
    mExchanges.emplace_back(++mLastExchangeKey,
                            SiteExchange{host, std::chrono::steady_clock::now(), limit});
    return mLastExchangeKey;
}

void NubeloConnections::exchangeMoved(quint64 key) {
    QMutexLocker locker(&mExchangesLock);
    for (auto &[held, exchange] : mExchanges) {
        if (held == key)
            exchange.silentSince = std::chrono::steady_clock::now();
    }
}

void NubeloConnections::endExchange(quint64 key) {
    QMutexLocker locker(&mExchangesLock);
    std::erase_if(mExchanges, [key](const auto &held) { return held.first == key; });
}

std::optional<QList<QNetworkCookie>> NubeloConnections::cookies() const {
    QMutexLocker locker(&mCookiesLock);
    return mCookies;
}

void NubeloConnections::reduceJar(QList<QNetworkCookie> &jar) {
    qsizetype i = 0;
    while (jar.size() > 1) {
        if (i == 0 && jar.at(0).name() == "sid")
            i = 1;
        else
            jar.removeAt(i);
    }
}

bool NubeloConnections::isCurrent(const platform::UrlConnection *connection) const {
    return connection != nullptr && connection == mConnection.get();
}

void NubeloConnections::dropConnection() {
    if (!mConnection)
        return;
    mConnection->cancel();
    if (mInCallback > 0)
        mRetired.push_back(std::move(mConnection));
    mConnection.reset();
}

void NubeloConnections::dropJar() {
    QMutexLocker locker(&mCookiesLock);
    mCookies.reset();
}

std::optional<platform::Error> NubeloConnections::authenticate(const QString &email,
                                                               const QString &password) {
    // An earlier login whose wait ran out may still be running: it must neither capture a
    // cookie for this one nor end it.
    dropConnection();
    if (mInCallback == 0)
        mRetired.clear();

    const QString timestamp = timestampText();

    if (getState() != SessionNone) {
        // Answered rather than swallowed: the caller would otherwise read SessionLoggedIn and
        // take the old session for the new credentials.
        if (std::optional<platform::Error> error = closeSession())
            return error;
    }

    const std::optional<QString> escapedEmail = formValue(email);
    const std::optional<QString> escapedPassword = formValue(password);
    if (!escapedEmail || !escapedPassword) {
        return platform::Error{QString::fromLatin1(kConnectionsErrorDomain),
                               ErrorUnsendableCredentials,
                               QStringLiteral("The e-mail address or the password cannot be "
                                              "sent.")};
    }

    platform::UrlRequest request;
    request.url = QUrl(siteUrl(QStringLiteral("?m=Login&func=do_login")));
    request.timeout = mRequestLimit;
    request.redirectOrigins = siteOrigins();
    request.method = "POST";
    request.setValue("Content-Type", "application/x-www-form-urlencoded");
    request.setValue("Referer", siteUrl(QStringLiteral("/?m=login")).toUtf8());
    request.setValue("Cookie", "lang=es_ES; tempHash=m=Home&func=index");
    // One pass of arg(): a "%1" inside a value is not filled in again.
    request.body = QStringLiteral("email=%1&input_password=%2&timezone=1&timestamp=%3")
                       .arg(*escapedEmail, *escapedPassword, timestamp)
                       .toUtf8();

    mConnection = std::make_unique<platform::UrlConnection>(request, this);
    platform::UrlConnection *connection = mConnection.get();

    mState.store(SessionLoggingIn);
    mEndConnection = false;
    mExchangeError.reset();

    const QDeadlineTimer deadline(mLoginWait, Qt::PreciseTimer);
    // Ends the pass that is waiting for events when the deadline comes, even if the server
    // stays silent; without it the wait would last until the request's own limit.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(mLoginWait);

    connection->start();

    // The wait is one deadline, not a limit of silence: the whole wait is the exchange's.
    const quint64 exchange = beginExchange(mSiteHost, mLoginWait);
    QEventLoop loop;
    while (!mEndConnection) {
        loop.processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
        if (deadline.hasExpired())
            break;
    }
    endExchange(exchange);

    bool held = false;
    {
        QMutexLocker locker(&mCookiesLock);
        held = mCookies.has_value();
    }
    if (!mEndConnection) {
        // The caller has its answer now: the exchange ends here, so no alert of a late failure
        // comes after it and no late redirect captures a session.
        dropConnection();
        if (!held)
            return std::nullopt;
        // The site signed the user in before the wait ran out, and only what followed its
        // redirect was still under way: the session is ours, as after a failure at that
        // point, and will be signed out like any other.
    }
    mState.store(held ? SessionLoggedIn : SessionNone);
    if (!held && mExchangeError)
        return mExchangeError;
    return std::nullopt;
}

std::optional<platform::Error> NubeloConnections::closeSession() {
    std::optional<platform::Error> error;
    if (getState() == SessionLoggedIn) {
        const platform::SyncResult result =
            sendSessionRequest(siteUrl(QStringLiteral("?m=Logout&func=log_out")), "GET");
        if (result.data)
            mState.store(SessionNone);
        error = result.error;
    }
    dropJar();
    return error;
}

platform::SyncResult NubeloConnections::sendSessionRequest(const QString &url,
                                                           const QByteArray &method,
                                                           const QString &contentType,
                                                           const std::optional<QByteArray> &body) {
    platform::UrlRequest request;
    request.url = QUrl(url);
    request.timeout = mRequestLimit;
    request.redirectOrigins = siteOrigins();
    request.method = method;
    if (!contentType.isNull())
        request.setValue("Content-Type", contentType.toUtf8());
    if (body)
        request.body = *body;
    {
        // Copied under the lock: a sign-out on another thread may drop the jar meanwhile.
        QMutexLocker locker(&mCookiesLock);
        if (mCookies)
            platform::setCookieFields(request, *mCookies);
    }
    const QUrl &to = request.url;
    const quint64 exchange = beginExchange(
        to.port() < 0 ? to.host() : QStringLiteral("%1:%2").arg(to.host()).arg(to.port()),
        mRequestLimit);
    platform::SyncResult result =
        platform::sendSynchronousRequest(request, [this, exchange] { exchangeMoved(exchange); });
    endExchange(exchange);
    return result;
}

platform::UrlRequest
NubeloConnections::willSendRequest(platform::UrlConnection *connection,
                                   const platform::UrlRequest &proposed,
                                   const platform::UrlResponse *redirectResponse) {
    if (!isCurrent(connection))
        return proposed;
    platform::UrlRequest request = proposed;
    qCInfo(lcConnections) << "connection:willSendRequest:redirectResponse";
    if (redirectResponse == nullptr)
        return request;
    qCInfo(lcConnections).noquote()
        << "allHeaderFields:" << platform::describeHeaderFields(redirectResponse->headerFields);

    QMutexLocker locker(&mCookiesLock);
    // Only the first redirect of a login counts; later ones pass untouched.
    if (getState() != SessionLoggingIn || mCookies)
        return request;
    QList<QNetworkCookie> jar =
        platform::cookiesWithResponseHeaderFields(redirectResponse->headerFields);
    reduceJar(jar);
    mCookies = jar;
    qCInfo(lcConnections).noquote() << "Cookies:" << platform::describeCookies(jar);
    platform::setCookieFields(request, jar);
    return request;
}

void NubeloConnections::didReceiveResponse(platform::UrlConnection *connection,
                                           const platform::UrlResponse &) {
    if (isCurrent(connection))
        responseData.clear();
}

void NubeloConnections::didReceiveData(platform::UrlConnection *connection,
                                       const QByteArray &data) {
    if (isCurrent(connection))
        responseData.append(data);
}

void NubeloConnections::didFailWithError(platform::UrlConnection *connection,
                                         const platform::Error &error) {
    if (!isCurrent(connection))
        return;
    CallbackScope scope(mInCallback);
    mError = error;
    mExchangeError = error;
    // The exchange counts as ended only once the user has closed the alert.
    if (ui::Application *application = ui::app())
        application->presentError(error);
    if (isCurrent(connection))
        mEndConnection = true;
}

void NubeloConnections::didFinishLoading(platform::UrlConnection *connection) {
    if (isCurrent(connection))
        mEndConnection = true;
}

// --- Upload ------------------------------------------------------------------------------------

namespace NubeloConnectionsPrivate {

QByteArray prepareUploadData(const QByteArray &image) {
    const QByteArray boundary(kBoundary);
    const QByteArray open = "--" + boundary + "\r\n";
    const QByteArray segments[] = {
        open,
        "Content-Disposition: form-data; name=\"iPhoto.png\"; filename=\"iPhoto.png\"\r\n",
        "Content-Type: image/png\r\n\r\n",
        QByteArray(), // the photo
        "\r\n--" + boundary + "\r\n",
        "Content-Disposition: form-data; name=\"func\"\r\n\r\n",
        "addq\r\n",
        open,
        "Content-Disposition: form-data; name=\"wf\"\r\n\r\n\r\n",
        open,
        "Content-Disposition: form-data; name=\"rotate\"\r\n\r\n",
        "0\r\n",
        "--" + boundary + "--\r\n",
    };
    constexpr int kPhotoSegment = 3;

    qsizetype size = image.size();
    for (const QByteArray &segment : segments)
        size += segment.size();
    QByteArray body;
    body.reserve(size);
    for (int i = 0; i < int(std::size(segments)); ++i)
        body.append(i == kPhotoSegment ? image : segments[i]);
    return body;
}

QByteArray queueCheckBody(qint32 qid) {
    return "func=checkq&wf=&qid=" + QByteArray::number(qid) + "\r\n";
}

bool writeTraceFile(const char *path, const QByteArray &bytes) {
    // No O_TRUNC: a file that turns out not to be ours must be left as it was. O_NONBLOCK keeps
    // a FIFO planted at the name from blocking the open.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    struct stat status {};
    // A file of ours left from before (or made under another umask) may be readable by others:
    // it is narrowed to 0600 before the answer goes in.
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
              status.st_uid == ::geteuid() && status.st_nlink == 1 && ::fchmod(fd, 0600) == 0;
    // Written over the old content, then cut to its own length: emptying the file first made
    // the file system free its block and take it again on every exchange (180 µs a write
    // against 10 here).
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (ok && left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            ok = errno == EINTR;
            continue;
        }
        data += written;
        left -= written;
    }
    ok = ok && ::ftruncate(fd, off_t(bytes.size())) == 0;
    ::close(fd);
    return ok;
}

} // namespace NubeloConnectionsPrivate

platform::Error NubeloConnections::notSignedIn() {
    return platform::Error{QString::fromLatin1(kConnectionsErrorDomain), ErrorNotSignedIn,
                           QStringLiteral("Not signed in")};
}

std::optional<platform::Error>
NubeloConnections::exchangeError(const platform::SyncResult &result) {
    if (result.error)
        return result.error;
    // A refusal is an answer, not a transport failure; the site did not take what was sent. So
    // is a redirect that was not followed: what was sent never reached a page that took it.
    const int status = result.response ? result.response->statusCode : 0;
    if (status < 200 || status > 299) {
        return platform::Error{
            QString::fromLatin1(kHttpStatusErrorDomain), status,
            QStringLiteral("The site answered with HTTP status %1.").arg(status)};
    }
    return std::nullopt;
}

std::optional<platform::Error> NubeloConnections::prepareUpload() {
    if (getState() != SessionLoggedIn)
        return notSignedIn();
    return exchangeError(sendSessionRequest(
        siteUrl(QStringLiteral(
            "?m=Uploadphoto&func=track_web_start_photo_upload&ajax=1&store=0&ajax_target=canvas")),
        "GET"));
}

std::optional<platform::Error> NubeloConnections::uploadImage(const QByteArray &image,
                                                              qint32 imageid) {
    if (getState() != SessionLoggedIn)
        return notSignedIn();
    const platform::SyncResult result =
        sendSessionRequest(uploadUrl(), "POST",
                           QStringLiteral("multipart/form-data; boundary=") +
                               QLatin1String(NubeloConnectionsPrivate::kBoundary),
                           NubeloConnectionsPrivate::prepareUploadData(image));
    traceAnswer(result);
    if (!exchangeError(result))
        return std::nullopt;
    // The photo may have arrived although its answer did not; the queue knows.
    return finishUpload(imageid);
}

std::optional<platform::Error>
NubeloConnections::uploadImage(const QByteArray &image, qint32 imageid, const QString &album) {
    if (std::optional<platform::Error> error = createAlbum(album))
        return error;
    return uploadImage(image, imageid);
}

std::optional<platform::Error> NubeloConnections::finishUpload(qint32 qid) {
    if (getState() != SessionLoggedIn)
        return notSignedIn();
    const QByteArray body = NubeloConnectionsPrivate::queueCheckBody(qid);
    NubeloConnectionsPrivate::writeTraceFile(NubeloConnectionsPrivate::kTraceBodyPath, body);
    const platform::SyncResult result = sendSessionRequest(
        uploadUrl(), "POST", QStringLiteral("application/x-www-form-urlencoded"), body);
    traceAnswer(result);
    return exchangeError(result);
}

std::optional<platform::Error> NubeloConnections::createAlbum(const QString &album) {
    int expected = SessionLoggedIn;
    if (!mState.compare_exchange_strong(expected, SessionCreatingAlbum))
        return notSignedIn();
    const platform::SyncResult result =
        sendSessionRequest(siteUrl(QStringLiteral("?m=Albums&func=create_album")), "POST",
                           QStringLiteral("application/x-www-form-urlencoded"),
                           "name=" + QUrl::toPercentEncoding(album));
    // Only our own mark is taken back: a new client may have reset the state meanwhile.
    expected = SessionCreatingAlbum;
    mState.compare_exchange_strong(expected, SessionLoggedIn);
    return exchangeError(result);
}

std::optional<platform::Error> NubeloConnections::listAlbums(QStringList *albums) {
    if (getState() != SessionLoggedIn)
        return notSignedIn();
    const platform::SyncResult result =
        sendSessionRequest(siteUrl(QStringLiteral("?m=Albums&func=list_albums")), "GET");
    if (std::optional<platform::Error> error = exchangeError(result))
        return error;
    if (albums != nullptr) {
        // One name a line, UTF-8.
        albums->clear();
        const QList<QByteArray> lines = result.data.value_or(QByteArray()).split('\n');
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                albums->append(QString::fromUtf8(line));
        }
    }
    return std::nullopt;
}
