#pragma once

// A scripted HTTP server on 127.0.0.1 for the exchange tests, on a thread of its own so that a
// test thread blocked in a synchronous request does not stall it. Each request is recorded as it
// came on the wire and answered by the script. The server never closes a connection itself: an
// answer ends by its Content-Length, and an empty one leaves the peer waiting.

#include <QByteArray>
#include <QByteArrayList>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

struct SeenRequest {
    QByteArray head; // the request line and the header fields
    QByteArray body{};

    QByteArray target() const { return head.split(' ').value(1); }
    // The values of each field of that name (compared without case), in order.
    QByteArrayList field(const QByteArray &name) const {
        QByteArrayList values;
        for (const QByteArray &line : head.split('\n'))
            if (line.toLower().startsWith(name.toLower() + ':'))
                values.append(line.mid(name.size() + 1).trimmed());
        return values;
    }
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
        QObject::connect(mServer, &QTcpServer::newConnection, mServer, [this] {
            while (QTcpSocket *socket = mServer->nextPendingConnection())
                serve(socket);
        });
        // Its sockets are the thread's, and go with it.
        QObject::connect(&mThread, &QThread::finished, mServer, &QObject::deleteLater);
        mServer->moveToThread(&mThread);
        mThread.start();
    }
    ~TinyServer() {
        mThread.quit();
        mThread.wait();
        // The thread's last use of the lock (its sockets go as it ends) is ordered before
        // whatever takes this memory next: a thread sanitizer does not see through wait().
        QMutexLocker locker(&mLock);
    }

    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(mPort); }
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
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
            QMutexLocker locker(&mLock);
            mClosedUnanswered += socket->property("answered").toBool() ? 0 : 1;
            socket->deleteLater();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            SeenRequest request{buffer->left(end)};
            const qsizetype length = request.field("Content-Length").value(0).toLongLong();
            if (end < 0 || buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            buffer->remove(0, end + 4 + length);
            mLock.lock();
            const int n = int(mSeen.size());
            mSeen.append(request);
            mLock.unlock();
            const Answer reply = mScript(request, n);
            socket->setProperty("answered", !reply.bytes.isEmpty());
            socket->write(reply.bytes);
            auto *drip = new QTimer(socket);
            QObject::connect(
                drip, &QTimer::timeout, socket, [socket, drip, reply, sent = 0]() mutable {
                    if (sent == reply.drip.size() || socket->write(reply.drip.mid(sent++, 1)) != 1)
                        drip->stop();
                });
            drip->start(reply.dripMs);
        });
    }

    Script mScript;
    QTcpServer *mServer = new QTcpServer;
    quint16 mPort = mServer->listen(QHostAddress::LocalHost) ? mServer->serverPort() : 0;
    QThread mThread;
    mutable QMutex mLock;
    QList<SeenRequest> mSeen;
    int mClosedUnanswered = 0;
};
