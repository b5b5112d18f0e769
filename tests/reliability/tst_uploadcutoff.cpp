// An upload cut off in the middle of its body, between the real nubelo-export and the real
// nubelo-site: a proxy in front of the upload host resets (or closes) both connections halfway
// through photo 2. The photo is then stored or the run fails; it never counts as uploaded while
// the site does not hold it (the site's queue check once answered with photo 1's success).

#include "ExportProgram.h"
#include "SiteProgram.h"

#include <QtTest>

#include <QDir>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kEmail = QStringLiteral("ines@example.org");
const QString kPassword = QStringLiteral("clave de ines");

// Passes bytes both ways on a thread of its own, and cuts the connection of the `cutAt`th
// multipart request once half of its body has gone through.
class CutProxy {
public:
    CutProxy(quint16 upstream, int cutAt, bool reset)
        : mUpstream(upstream)
        , mCutAt(cutAt)
        , mReset(reset) {
        mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        if (::pipe2(mWake, O_CLOEXEC) == 0 &&
            ::bind(mListen, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
            ::listen(mListen, 16) == 0 &&
            ::getsockname(mListen, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
            port = ntohs(address.sin_port);
            mThread = std::thread([this] { run(); });
        }
    }
    ~CutProxy() {
        if (mThread.joinable()) {
            [[maybe_unused]] const ssize_t woken = ::write(mWake[1], "x", 1);
            mThread.join();
        }
        for (const int fd : {mListen, mWake[0], mWake[1]})
            ::close(fd);
    }

    quint16 port = 0;
    std::atomic<bool> cut{false};

private:
    struct Pair {
        int client = -1;
        int upstream = -1;
        QByteArray in;         // from the client, not yet passed on
        qint64 left = 0;       // bytes of the current request still to pass on
        qint64 beforeCut = -1; // bytes to pass on before the cut; -1: no cut
    };

    static sockaddr_in loopback(quint16 port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static bool sendAll(int fd, const char *data, qint64 size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= n;
        }
        return true;
    }

    // False once the pair is to be cut.
    bool fromClient(Pair &p) {
        for (;;) {
            if (p.left == 0) {
                const qsizetype end = p.in.indexOf("\r\n\r\n");
                if (end < 0)
                    return true;
                const QByteArray head = p.in.left(end).toLower();
                const qsizetype at = head.indexOf("\r\ncontent-length:");
                const qint64 body =
                    at < 0 ? 0 : head.mid(at + 17).split('\r').first().trimmed().toLongLong();
                p.left = end + 4 + body;
                if (head.contains("multipart/form-data") && ++mUploads == mCutAt)
                    p.beforeCut = end + 4 + body / 2;
            }
            qint64 pass = std::min<qint64>(p.in.size(), p.left);
            if (p.beforeCut >= 0)
                pass = std::min(pass, p.beforeCut);
            if (!sendAll(p.upstream, p.in.constData(), pass))
                return true; // the site closed; its side ends the pair
            p.in.remove(0, pass);
            p.left -= pass;
            if (p.beforeCut >= 0 && (p.beforeCut -= pass) == 0)
                return false;
            if (p.in.isEmpty())
                return true;
        }
    }

    void end(Pair &p, bool reset) {
        for (const int fd : {p.client, p.upstream}) {
            if (reset) {
                const linger hard{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            ::close(fd);
        }
        p.client = p.upstream = -1;
    }

    void run() {
        std::vector<Pair> pairs;
        char buffer[65536];
        for (;;) {
            std::vector<pollfd> watched{{mWake[0], POLLIN, 0}, {mListen, POLLIN, 0}};
            for (const Pair &p : pairs) {
                watched.push_back({p.client, POLLIN, 0});
                watched.push_back({p.upstream, POLLIN, 0});
            }
            if (::poll(watched.data(), watched.size(), -1) < 0 || watched[0].revents)
                break;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                Pair &p = pairs[i];
                if (watched[2 + 2 * i].revents) {
                    const ssize_t n = ::recv(p.client, buffer, sizeof buffer, 0);
                    if (n <= 0) {
                        end(p, false);
                        continue;
                    }
                    p.in.append(buffer, n);
                    if (!fromClient(p)) {
                        cut = true;
                        end(p, mReset);
                        continue;
                    }
                }
                if (watched[3 + 2 * i].revents) {
                    const ssize_t n = ::recv(p.upstream, buffer, sizeof buffer, 0);
                    if (n <= 0 || !sendAll(p.client, buffer, n))
                        end(p, false);
                }
            }
            std::erase_if(pairs, [](const Pair &p) { return p.client < 0; });
            if (watched[1].revents) {
                Pair p;
                p.client = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
                p.upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in site = loopback(mUpstream);
                if (::connect(p.upstream, reinterpret_cast<const sockaddr *>(&site), sizeof site) ==
                    0)
                    pairs.push_back(p);
                else
                    end(p, true);
            }
        }
        for (Pair &p : pairs)
            end(p, false);
    }

    const quint16 mUpstream;
    const int mCutAt;
    const bool mReset;
    int mUploads = 0;
    int mListen = -1;
    int mWake[2] = {-1, -1};
    std::thread mThread;
};

} // namespace

class TestUploadCutOff : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cutInPhotoTwo_data();
    void cutInPhotoTwo();
};

void TestUploadCutOff::cutInPhotoTwo_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("connection reset in photo 2's body") << true;
    QTest::newRow("connection closed in photo 2's body") << false;
}

void TestUploadCutOff::cutInPhotoTwo() {
    QFETCH(bool, reset);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QStringList photos;
    for (int i = 1; i <= 3; ++i) {
        photos.append(work.filePath(QStringLiteral("photo%1.png").arg(i)));
        QVERIFY(faults::testPicture(400 + 40 * i, 300).save(photos.last()));
    }
    standin::SiteProgram site;
    QVERIFY(site.start({QStringLiteral("--data"), work.filePath(QStringLiteral("site")),
                        QStringLiteral("--account"), kEmail + QLatin1Char(':') + kPassword}));
    CutProxy proxy(site.uploadHost.mid(site.uploadHost.lastIndexOf(':') + 1).toUShort(), 2, reset);
    QVERIFY(proxy.port != 0);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), work.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), work.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("NUBELO_SITE_HOST"), QString::fromLatin1(site.siteHost));
    env.insert(QStringLiteral("NUBELO_UPLOAD_HOST"),
               QStringLiteral("127.0.0.1:%1").arg(proxy.port));
    env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
    const faults::ProgramRun run =
        faults::runProgram(faults::exportProgram(),
                           QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--dir"),
                                       work.filePath(QStringLiteral("scratch"))} +
                               photos,
                           env, 60000);

    QVERIFY2(run.finished && !run.crashed, run.describe().constData());
    QVERIFY(proxy.cut);
    // Photo 2 cannot be whole on the site, so the run stops there and says so.
    QVERIFY2(run.code == 1 && run.said().contains("Unable to upload"), run.describe().constData());
    const QStringList stored = QDir(work.filePath(QStringLiteral("site/") + kEmail))
                                   .entryList({QStringLiteral("photo-*")}, QDir::Files);
    QCOMPARE(stored.size(), 1);
}

QTEST_GUILESS_MAIN(TestUploadCutOff)
#include "tst_uploadcutoff.moc"
