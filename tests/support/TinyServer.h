#pragma once

// A scripted HTTP server on 127.0.0.1 for the exchange tests, on a thread of its own so that a
// test thread blocked in a synchronous request does not stall it. Each request is recorded as it
// came on the wire and answered by the script: raw response bytes, or nothing (a silent server),
// optionally followed by a long or slow tail of filler bytes.

#include <QByteArray>
#include <QEventLoop>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <functional>
#include <future>
#include <memory>

struct SeenRequest {
    QByteArray method;
    QByteArray target;
    QList<std::pair<QByteArray, QByteArray>> fields;
    QByteArray body;

    QList<QByteArray> values(const QByteArray &name) const {
        QList<QByteArray> found;
        for (const auto &f : fields) {
            if (f.first.compare(name, Qt::CaseInsensitive) == 0)
                found.append(f.second);
        }
        return found;
    }
};

// What the server sends for one request: `bytes` at once, then `fill` bytes of "x", as fast as
// the peer reads them, or one every `dripMs` milliseconds. Then it closes the connection, unless
// `hold`. Nothing at all leaves the connection silent.
struct Answer {
    QByteArray bytes;
    qint64 fill = 0;
    int dripMs = 0;
    bool hold = false;

    Answer(QByteArray b = {}, qint64 f = 0, int drip = 0, bool h = false)
        : bytes(std::move(b))
        , fill(f)
        , dripMs(drip)
        , hold(h) {}
};

class TinyServer {
public:
    // Answers the n-th request (from 0).
    using Script = std::function<Answer(const SeenRequest &, int n)>;

    explicit TinyServer(Script script)
        : mScript(std::move(script)) {
        std::promise<quint16> port;
        std::future<quint16> ready = port.get_future();
        mThread.reset(QThread::create([this, &port] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost);
            QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
                while (QTcpSocket *socket = server.nextPendingConnection())
                    serve(socket);
            });
            port.set_value(server.serverPort());
            QEventLoop loop;
            loop.exec();
        }));
        mThread->start();
        mPort = ready.get();
    }
    ~TinyServer() {
        mThread->quit();
        mThread->wait();
    }

    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(mPort); }
    QByteArray url(const QByteArray &path) const { return "http://" + host() + path; }
    QList<SeenRequest> seen() const {
        QMutexLocker locker(&mLock);
        return mSeen;
    }
    // Connections that the peer closed before the server had finished its answer.
    int closedByPeer() const {
        QMutexLocker locker(&mLock);
        return mClosedByPeer;
    }

    static QByteArray answer(int status, const QByteArray &extraFields, const QByteArray &body) {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\n" + extraFields +
               "Content-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

private:
    struct Pending {
        QByteArray buffer;
        qint64 fill = 0; // filler bytes still to send
        bool hold = false;
        bool answered = false; // everything sent
    };

    static constexpr qint64 kChunk = 64 * 1024;

    // Tops the socket's queue up with filler, a little at a time, so a long answer never sits
    // in memory; the peer's reading paces it.
    static void topUp(QTcpSocket *socket, Pending &p) {
        while (p.fill > 0 && socket->bytesToWrite() < 4 * kChunk) {
            const qint64 n = std::min(p.fill, kChunk);
            socket->write(QByteArray(n, 'x'));
            p.fill -= n;
        }
        if (p.fill == 0 && !p.answered) {
            p.answered = true;
            if (!p.hold)
                socket->disconnectFromHost();
        }
    }

    void serve(QTcpSocket *socket) {
        auto pending = std::make_shared<Pending>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket, pending] {
            if (!pending->answered) {
                QMutexLocker locker(&mLock);
                ++mClosedByPeer;
            }
            socket->deleteLater();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, pending] {
            QByteArray *buffer = &pending->buffer;
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            SeenRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            qsizetype length = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                const QByteArray name = lines[i].left(colon).trimmed();
                const QByteArray value = lines[i].mid(colon + 1).trimmed();
                request.fields.append({name, value});
                if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                    length = value.toLongLong();
            }
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            buffer->remove(0, end + 4 + length);
            int n = 0;
            {
                QMutexLocker locker(&mLock);
                n = int(mSeen.size());
                mSeen.append(request);
            }
            const Answer reply = mScript(request, n);
            if (reply.bytes.isEmpty() && reply.fill == 0)
                return; // silent
            socket->write(reply.bytes);
            pending->fill = reply.fill;
            pending->hold = reply.hold;
            if (reply.dripMs <= 0) {
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket,
                                 [socket, pending] { topUp(socket, *pending); });
                topUp(socket, *pending);
                return;
            }
            auto *drip = new QTimer(socket);
            QObject::connect(drip, &QTimer::timeout, socket, [socket, pending, drip] {
                if (pending->fill > 0) {
                    socket->write("x");
                    --pending->fill;
                }
                if (pending->fill == 0) {
                    drip->stop();
                    topUp(socket, *pending);
                }
            });
            drip->start(reply.dripMs);
        });
    }

    Script mScript;
    std::unique_ptr<QThread> mThread;
    quint16 mPort = 0;
    mutable QMutex mLock;
    QList<SeenRequest> mSeen;
    int mClosedByPeer = 0;
};
