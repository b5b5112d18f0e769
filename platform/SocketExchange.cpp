#include "SocketExchange.h"

#include <QNetworkReply>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace platform::detail {

namespace {

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
// How much the socket holds for us before it stops reading the kernel's buffer.
constexpr qint64 kReadBuffer = 256 * 1024;

bool safeInField(const QByteArray &bytes) {
    return !bytes.contains('\r') && !bytes.contains('\n') && !bytes.contains('\0');
}

// Fields whose framing is ours to set: a caller's copy would contradict what goes on the wire.
bool framingField(const QByteArray &name) {
    for (const char *ours : {"Host", "Content-Length", "Connection", "Transfer-Encoding"})
        if (name.compare(ours, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QByteArray headOf(const UrlRequest &request) {
    QByteArray target = request.url.path(QUrl::FullyEncoded).toLatin1();
    if (!target.startsWith('/'))
        target.prepend('/');
    if (request.url.hasQuery())
        target += '?' + request.url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray head = request.method + ' ' + target + " HTTP/1.1\r\nHost: " +
                      request.url.adjusted(QUrl::RemoveUserInfo).authority().toLatin1() + "\r\n";
    for (const HeaderField &field : request.headerFields)
        if (!framingField(field.first))
            head += field.first + ": " + field.second + "\r\n";
    if (!request.body.isEmpty() || request.method == "POST" || request.method == "PUT")
        head += "Content-Length: " + QByteArray::number(request.body.size()) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

// Where the header block ends (after its empty line), or -1 while it has not ended.
qsizetype headEnd(const QByteArray &in) {
    for (qsizetype i = in.indexOf('\n'); i >= 0; i = in.indexOf('\n', i + 1)) {
        if (i + 1 < in.size() && in.at(i + 1) == '\n')
            return i + 2;
        if (i + 2 < in.size() && in.at(i + 1) == '\r' && in.at(i + 2) == '\n')
            return i + 3;
    }
    return -1;
}

QByteArray withoutCr(QByteArray line) {
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

Error notHttp() {
    return networkError(QNetworkReply::ProtocolFailure,
                        QStringLiteral("The site's answer is not valid HTTP."));
}

Error socketError(QTcpSocket *socket, const QString &host) {
    switch (socket->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        return networkError(QNetworkReply::ConnectionRefusedError,
                            QStringLiteral("Connection refused"));
    case QAbstractSocket::RemoteHostClosedError:
        return networkError(QNetworkReply::RemoteHostClosedError,
                            QStringLiteral("Connection closed"));
    case QAbstractSocket::HostNotFoundError:
        return networkError(QNetworkReply::HostNotFoundError,
                            QStringLiteral("Host %1 not found").arg(host));
    default:
        return networkError(QNetworkReply::UnknownNetworkError, socket->errorString());
    }
}

} // namespace

bool SocketExchange::speaks(const QUrl &url) {
    return url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 &&
           !url.host().isEmpty();
}

SocketExchange::SocketExchange(UrlRequest request, QList<QUrl> allowed, QObject *parent, Done done,
                               std::function<void()> moved)
    : QObject(parent)
    , mRequest(std::move(request))
    , mAllowed(std::move(allowed))
    , mDone(std::move(done))
    , mMoved(std::move(moved))
    , mSilence(new QTimer(this)) {
    mSilence->setSingleShot(true);
    // A coarse timer may fire several percent early; the limit is a promise to the user.
    mSilence->setTimerType(Qt::PreciseTimer);
    mSilence->setInterval(mRequest.timeout);
    connect(mSilence, &QTimer::timeout, this, [this] { fail(timedOut()); });
}

void SocketExchange::start() {
    if (!safeInField(mRequest.method) ||
        std::any_of(mRequest.headerFields.begin(), mRequest.headerFields.end(),
                    [](const HeaderField &f) {
                        return f.first.isEmpty() || f.first.contains(':') ||
                               !safeInField(f.first) || !safeInField(f.second);
                    })) {
        fail(networkError(QNetworkReply::ProtocolInvalidOperationError,
                          QStringLiteral("A header field of the request holds a line break.")));
        return;
    }
    send();
}

void SocketExchange::send() {
    if (!speaks(mRequest.url)) {
        fail(networkError(QNetworkReply::ProtocolUnknownError,
                          QStringLiteral("Protocol \"%1\" is unknown").arg(mRequest.url.scheme())));
        return;
    }
    if (mSocket != nullptr) {
        mSocket->disconnect(this);
        mSocket->abort();
        mSocket->deleteLater();
    }
    mStage = Stage::Head;
    mIn.clear();
    mBody.clear();
    mResponse = UrlResponse();
    mLeft = -1;

    mSocket = new QTcpSocket(this);
    mSocket->setReadBufferSize(kReadBuffer);
    connect(mSocket, &QTcpSocket::connected, this, [this] {
        moved();
        // The head is small and the body follows at once: no waiting for an acknowledgement.
        mSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Written as two blocks that the socket shares rather than copies; each leaves in as
        // few system calls as the kernel's buffer allows.
        mSocket->write(headOf(mRequest));
        if (!mRequest.body.isEmpty())
            mSocket->write(mRequest.body);
    });
    connect(mSocket, &QTcpSocket::bytesWritten, this, &SocketExchange::moved);
    connect(mSocket, &QTcpSocket::readyRead, this, &SocketExchange::read);
    connect(mSocket, &QTcpSocket::disconnected, this, &SocketExchange::closed);
    connect(mSocket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            closed();
        else
            fail(socketError(mSocket, mRequest.url.host()));
    });
    mSilence->start();
    mSocket->connectToHost(mRequest.url.host(), quint16(mRequest.url.port(80)));
}

void SocketExchange::moved() {
    if (mEnded)
        return;
    mSilence->start();
    if (mMoved)
        mMoved();
}

void SocketExchange::read() {
    while (!mEnded && mSocket->bytesAvailable() > 0) {
        moved();
        mIn += mSocket->read(kReadBuffer);
        parse();
    }
}

void SocketExchange::parse() {
    while (!mEnded) {
        switch (mStage) {
        case Stage::Head: {
            const qsizetype end = headEnd(mIn);
            if (end < 0 || end > kMaxHeadBytes) {
                if (end > kMaxHeadBytes || mIn.size() > kMaxHeadBytes)
                    fail(networkError(QNetworkReply::ProtocolFailure,
                                      QStringLiteral("The site's answer header is too large.")));
                return;
            }
            const QByteArray head = mIn.left(end);
            mIn.remove(0, end);
            if (!parseHead(head))
                return;
            break;
        }
        case Stage::Body:
        case Stage::ChunkData: {
            const qsizetype n =
                mLeft < 0 ? mIn.size() : qsizetype(std::min<qint64>(mLeft, mIn.size()));
            if (!takeBody(n))
                return;
            if (mLeft != 0)
                return; // more to come
            if (mStage == Stage::Body) {
                answered();
                return;
            }
            mStage = Stage::ChunkEnd;
            break;
        }
        case Stage::ChunkEnd:
            if (mIn.size() < 2)
                return;
            if (!mIn.startsWith("\r\n")) {
                fail(notHttp());
                return;
            }
            mIn.remove(0, 2);
            mStage = Stage::ChunkSize;
            break;
        case Stage::ChunkSize:
        case Stage::Trailer: {
            const qsizetype eol = mIn.indexOf('\n');
            if (eol < 0) {
                if (mIn.size() > kMaxHeadBytes)
                    fail(notHttp());
                return;
            }
            const QByteArray line = withoutCr(mIn.left(eol));
            mIn.remove(0, eol + 1);
            if (mStage == Stage::Trailer) {
                if (line.isEmpty()) {
                    answered();
                    return;
                }
                break; // trailer fields are dropped
            }
            bool ok = false;
            const qsizetype extension = line.indexOf(';');
            const QByteArray digits = (extension < 0 ? line : line.left(extension)).trimmed();
            const qint64 size = digits.size() <= 15 ? digits.toLongLong(&ok, 16) : -1;
            if (!ok || size < 0) {
                fail(notHttp());
                return;
            }
            mLeft = size;
            mStage = size == 0 ? Stage::Trailer : Stage::ChunkData;
            break;
        }
        }
    }
}

bool SocketExchange::parseHead(const QByteArray &head) {
    const QList<QByteArray> lines = head.split('\n');
    const QByteArray statusLine = withoutCr(lines.first());
    bool ok = false;
    const int status = statusLine.mid(9, 3).toInt(&ok);
    if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || !ok || status < 100 ||
        (statusLine.size() > 12 && statusLine.at(12) != ' ')) {
        fail(notHttp());
        return false;
    }
    if (status < 200 && status != 101)
        return true; // an interim answer: the real one follows
    UrlResponse response;
    response.url = mRequest.url;
    response.statusCode = status;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = withoutCr(lines.at(i));
        if (line.isEmpty())
            continue;
        if ((line.front() == ' ' || line.front() == '\t') && !response.headerFields.isEmpty()) {
            response.headerFields.last().second += ' ' + line.trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        auto same = std::find_if(
            response.headerFields.begin(), response.headerFields.end(),
            [&](const HeaderField &f) { return f.first.compare(name, Qt::CaseInsensitive) == 0; });
        if (same == response.headerFields.end())
            response.headerFields.append({name, value});
        else
            same->second +=
                (name.compare("Set-Cookie", Qt::CaseInsensitive) == 0 ? "\n" : ", ") + value;
    }
    mResponse = response;

    const QByteArray location = response.value("Location");
    if (isRedirectStatus(status) && !location.isEmpty()) {
        // Followed at once: the redirect's own body is of no use.
        const QUrl target = mRequest.url.resolved(QUrl::fromEncoded(location));
        if (!mayRedirectTo(mAllowed, target)) {
            fail(redirectedElsewhere(target));
            return false;
        }
        if (++mRedirects > kMaxRedirects) {
            fail(tooManyRedirects());
            return false;
        }
        UrlRequest next = redirectedRequest(mRequest, status, target);
        if (!next.body.isEmpty()) { // a 307 or 308 would send it a second time
            fail(networkError(QNetworkReply::ContentReSendError,
                              QStringLiteral("The site asked for the request again at %1; "
                                             "its body is sent only once.")
                                  .arg(target.toString())));
            return false;
        }
        mRequest = std::move(next);
        send();
        return false;
    }

    const QByteArray encoding = response.value("Transfer-Encoding").toLower();
    const QByteArray length = response.value("Content-Length");
    if (mRequest.method == "HEAD" || status == 204 || status == 304) {
        answered();
        return false;
    }
    if (encoding.contains("chunked")) {
        mStage = Stage::ChunkSize;
        return true;
    }
    mStage = Stage::Body;
    mLeft = -1;
    if (!length.isNull()) {
        // Repeated fields come joined; they must agree.
        const QList<QByteArray> values = length.split(',');
        const QByteArray first = values.first().trimmed();
        const bool digits =
            !first.isEmpty() && first.size() <= 15 &&
            std::all_of(first.begin(), first.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::any_of(values.begin(), values.end(),
                                   [&](const QByteArray &v) { return v.trimmed() != first; })) {
            fail(notHttp());
            return false;
        }
        mLeft = first.toLongLong();
        if (mLeft > kMaxAnswerBytes) {
            fail(answerTooLarge());
            return false;
        }
        if (mLeft == 0) {
            answered();
            return false;
        }
    }
    return true;
}

bool SocketExchange::takeBody(qsizetype n) {
    if (mBody.size() + n > kMaxAnswerBytes) {
        fail(answerTooLarge());
        return false;
    }
    mBody.append(mIn.constData(), n);
    mIn.remove(0, n);
    if (mLeft > 0)
        mLeft -= n;
    return true;
}

void SocketExchange::answered() {
    Outcome outcome;
    outcome.response = mResponse;
    outcome.body = std::move(mBody);
    end(outcome);
}

void SocketExchange::closed() {
    if (mEnded)
        return;
    read();
    if (mEnded)
        return;
    // Only an answer without a length may end with the connection.
    if (mStage == Stage::Body && mLeft < 0)
        answered();
    else
        fail(networkError(QNetworkReply::RemoteHostClosedError,
                          QStringLiteral("Connection closed")));
}

void SocketExchange::fail(const Error &error) {
    Outcome outcome;
    outcome.error = error;
    end(outcome);
}

void SocketExchange::end(const Outcome &outcome) {
    if (mEnded)
        return;
    mEnded = true;
    mSilence->stop();
    if (mSocket != nullptr) {
        mSocket->disconnect(this);
        mSocket->abort();
    }
    deleteLater();
    if (Done done = std::move(mDone))
        done(outcome);
}

} // namespace platform::detail
