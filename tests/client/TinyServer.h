#pragma once

// A scripted HTTP server on 127.0.0.1 for the exchange tests, on a thread of its own so that a
// test thread blocked in a synchronous request does not stall it. Each request is recorded as it
// came on the wire and answered by the script: raw response bytes, or nothing (a silent server).

#include <QByteArray>
#include <QEventLoop>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

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

class TinyServer {
public:
    // Answers the n-th request (from 0); an empty answer leaves the connection silent.
    using Script = std::function<QByteArray(const SeenRequest &, int n)>;

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

    static QByteArray answer(int status, const QByteArray &extraFields, const QByteArray &body) {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\n" + extraFields +
               "Content-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

private:
    void serve(QTcpSocket *socket) {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
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
            const QByteArray reply = mScript(request, n);
            if (!reply.isEmpty()) {
                socket->write(reply);
                socket->disconnectFromHost();
            }
        });
    }

    Script mScript;
    std::unique_ptr<QThread> mThread;
    quint16 mPort = 0;
    mutable QMutex mLock;
    QList<SeenRequest> mSeen;
};
