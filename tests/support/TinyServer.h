#pragma once

// A scripted HTTP server on 127.0.0.1 for the exchange tests, on a thread of its own so that a
// test thread blocked in a synchronous request does not stall it. Each request is recorded as it
// came on the wire and answered by the script. The server never closes a connection itself: an
// answer ends by its Content-Length, and an empty one leaves the peer waiting.

#include <QByteArray>
#include <QEventLoop>
#include <QMultiMap>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <functional>
#include <future>
#include <memory>

struct SeenRequest {
    QByteArray method;
    QByteArray target;
    QMultiMap<QByteArray, QByteArray> fields; // by lower-case name
    QByteArray body;
};

// `bytes` at once, then `drip` one byte every `dripMs`.
struct Answer {
    QByteArray bytes;
    QByteArray drip{};
    int dripMs = 0;
};

class TinyServer {
public:
    // Answers the n-th request (from 0).
    using Script = std::function<Answer(const SeenRequest &, int n)>;

    explicit TinyServer(Script script)
        : mScript(std::move(script)) {
        std::promise<quint16> port;
        mThread.reset(QThread::create([this, &port] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost);
            QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
                while (QTcpSocket *socket = server.nextPendingConnection())
                    serve(socket);
            });
            port.set_value(server.serverPort());
            QEventLoop().exec();
        }));
        mThread->start();
        mPort = port.get_future().get();
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
    // Connections that the peer closed while the script kept silent.
    int closedUnanswered() const {
        QMutexLocker locker(&mLock);
        return mClosedUnanswered;
    }

    static Answer answer(int status, const QByteArray &fields, const QByteArray &body,
                         qint64 length = -1) {
        return {"HTTP/1.1 " + QByteArray::number(status) + " X\r\n" + fields +
                "Content-Length: " + QByteArray::number(length < 0 ? body.size() : length) +
                "\r\nConnection: close\r\n\r\n" + body};
    }

private:
    void serve(QTcpSocket *socket) {
        auto buffer = std::make_shared<QByteArray>();
        auto answered = std::make_shared<bool>(false);
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket, answered] {
            QMutexLocker locker(&mLock);
            mClosedUnanswered += *answered ? 0 : 1;
            socket->deleteLater();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            SeenRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            for (const QByteArray &line : lines.mid(1)) {
                const qsizetype colon = line.indexOf(':');
                request.fields.insert(line.left(colon).trimmed().toLower(),
                                      line.mid(colon + 1).trimmed());
            }
            const qsizetype length = request.fields.value("content-length").toLongLong();
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
            *answered = !reply.bytes.isEmpty();
            socket->write(reply.bytes);
            if (reply.drip.isEmpty())
                return;
            auto *drip = new QTimer(socket);
            QObject::connect(drip, &QTimer::timeout, socket,
                             [socket, drip, left = reply.drip, sent = 0]() mutable {
                                 if (socket->write(left.mid(sent++, 1)) != 1)
                                     drip->stop();
                             });
            drip->start(reply.dripMs);
        });
    }

    Script mScript;
    std::unique_ptr<QThread> mThread;
    quint16 mPort = 0;
    mutable QMutex mLock;
    QList<SeenRequest> mSeen;
    int mClosedUnanswered = 0;
};
