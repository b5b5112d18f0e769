// The nubelo-site program killed with SIGKILL in the middle of an upload, then started again on
// the same data folder: no photo is half there under a real name, the index is whole and agrees
// with the files, the photos stored before are untouched, and uploads go on with new numbers.
// The kill is timed by the store itself: inotify reports the temporary file being created, or
// the photo being renamed into place, and the test kills at once.

#include "SiteProgram.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

using standin::SiteProgram;

namespace {

const QByteArray kEmail = "rosa@example.org";
const QByteArray kPassword = "clave-rosa";

QString sha256(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A PNG signature and random bytes: the site keeps whatever the form carries.
QByteArray photoBytes(qsizetype size) {
    QByteArray bytes("\x89PNG\r\n\x1a\n", 8);
    bytes.resize(size);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data() + 8),
                                          (size - 8) / 4);
    return bytes;
}

QByteArray uploadForm(const QByteArray &photo) {
    return "--Velkaron\r\nContent-Disposition: form-data; name=\"iPhoto.png\"; "
           "filename=\"iPhoto.png\"\r\nContent-Type: image/png\r\n\r\n" +
           photo +
           "\r\n--Velkaron\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\naddq\r\n"
           "--Velkaron--\r\n";
}

QByteArray requestHead(const QByteArray &method, const QByteArray &host, const QByteArray &target,
                       const QByteArray &contentType, qsizetype length, const QByteArray &sid) {
    QByteArray head =
        method + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    if (!sid.isEmpty())
        head += "Cookie: sid=" + sid + "\r\n";
    return head + "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

bool connectTo(QTcpSocket &socket, const QByteArray &hostPort) {
    const qsizetype colon = hostPort.lastIndexOf(':');
    socket.connectToHost(QString::fromLatin1(hostPort.left(colon)),
                         hostPort.mid(colon + 1).toUShort());
    return socket.waitForConnected(5000);
}

bool writeAll(QTcpSocket &socket, const QByteArray &bytes) {
    socket.write(bytes);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(10000))
            return false;
    }
    return true;
}

struct Answer {
    int status = 0;
    QByteArray head;
    QByteArray body;
};

// One exchange on a connection of its own; the site closes it after the answer.
Answer exchange(const QByteArray &hostPort, const QByteArray &method, const QByteArray &target,
                const QByteArray &contentType = {}, const QByteArray &body = {},
                const QByteArray &sid = {}) {
    Answer answer;
    QTcpSocket socket;
    if (!connectTo(socket, hostPort) ||
        !writeAll(socket,
                  requestHead(method, hostPort, target, contentType, body.size(), sid) + body))
        return answer;
    QByteArray all;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        all += socket.readAll();
    all += socket.readAll();
    const qsizetype end = all.indexOf("\r\n\r\n");
    if (!all.startsWith("HTTP/1.1 ") || end < 0)
        return answer;
    answer.status = all.mid(9, 3).toInt();
    answer.head = all.left(end);
    answer.body = all.mid(end + 4);
    return answer;
}

QStringList siteArguments(const QString &dataDir) {
    return {QStringLiteral("--data"), dataDir, QStringLiteral("--account"),
            QString::fromLatin1(kEmail + ':' + kPassword)};
}

QByteArray signIn(const SiteProgram &site) {
    const Answer answer = exchange(
        site.siteHost, "POST", "/?m=Login&func=do_login", "application/x-www-form-urlencoded",
        "email=" + kEmail + "&input_password=" + kPassword + "&timezone=1&timestamp=0");
    for (const QByteArray &line : answer.head.split('\n')) {
        if (line.startsWith("Set-Cookie: sid="))
            return line.mid(16, line.indexOf(';') - 16);
    }
    return {};
}

int upload(const SiteProgram &site, const QByteArray &sid, const QByteArray &photo) {
    return exchange(site.uploadHost, "POST", "/?upload=1&iframe=1",
                    "multipart/form-data; boundary=Velkaron", uploadForm(photo), sid)
        .status;
}

// Waits for an inotify event on a name that starts with `prefix`.
bool waitForEvent(int fd, const QByteArray &prefix, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    alignas(inotify_event) char buffer[4096];
    while (!deadline.hasExpired()) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, int(deadline.remainingTime())) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->len > 0 && QByteArray(event->name).startsWith(prefix))
                return true;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return false;
}

} // namespace

class TestSiteCrash : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void killedMidUpload_data();
    void killedMidUpload();
};

void TestSiteCrash::killedMidUpload_data() {
    QTest::addColumn<QString>("moment");
    QTest::addColumn<bool>("kept"); // the photo under way is there after the restart
    QTest::newRow("half of the body received") << "body" << false;
    QTest::newRow("the photo being written") << "write" << false;
    QTest::newRow("the photo just renamed into place") << "rename" << true;
}

void TestSiteCrash::killedMidUpload() {
    QFETCH(QString, moment);
    QFETCH(bool, kept);
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const QString account = data.filePath(QString::fromLatin1(kEmail));

    // Two photos stored the ordinary way.
    const QList<QByteArray> earlier{photoBytes(70001), photoBytes(5003)};
    const QByteArray big = photoBytes(8 << 20);
    {
        SiteProgram site;
        QVERIFY(site.start(siteArguments(data.path())));
        const QByteArray sid = signIn(site);
        QVERIFY(!sid.isEmpty());
        for (const QByteArray &photo : earlier)
            QCOMPARE(upload(site, sid, photo), 200);

        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        QVERIFY(watch >= 0);
        const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(account).constData(),
                                    IN_CREATE | IN_MOVED_TO) >= 0);

        const QByteArray form = uploadForm(big);
        QTcpSocket socket;
        QVERIFY(connectTo(socket, site.uploadHost));
        const QByteArray head =
            requestHead("POST", site.uploadHost, "/?upload=1&iframe=1",
                        "multipart/form-data; boundary=Velkaron", form.size(), sid);
        if (moment == QLatin1String("body")) {
            QVERIFY(writeAll(socket, head + form.left(form.size() / 2)));
        } else {
            QVERIFY(writeAll(socket, head + form));
            QVERIFY(
                waitForEvent(watch, moment == QLatin1String("write") ? ".tmp-" : "photo-", 20000));
        }
        site.kill();
        QVERIFY(site.killed());
    }

    // Started again on the same folder; the store looks at the account's folder when the
    // account is first used.
    SiteProgram site;
    QVERIFY(site.start(siteArguments(data.path())));
    const QByteArray sid = signIn(site);
    QVERIFY(!sid.isEmpty());
    const Answer gallery = exchange(site.siteHost, "GET", "/", {}, {}, sid);
    QCOMPARE(gallery.status, 200);

    QList<QByteArray> expected = earlier;
    if (kept)
        expected.append(big);
    QStringList expectedHashes;
    for (const QByteArray &photo : expected)
        expectedHashes.append(sha256(photo));

    const auto checkFolder = [&](const QStringList &hashes) {
        QDir folder(account);
        // No leftover of a write cut short, and every photo file whole: one of those sent.
        QVERIFY2(folder.entryList({QStringLiteral(".tmp-*")}, QDir::Files | QDir::Hidden).isEmpty(),
                 qPrintable(folder.entryList(QDir::Files | QDir::Hidden).join(' ')));
        const QStringList files = folder.entryList({QStringLiteral("photo-*")}, QDir::Files);
        QCOMPARE(files.size(), hashes.size());

        // Every line of the index parses and names a photo file of that size and digest, once.
        QFile index(folder.filePath(QStringLiteral("index.jsonl")));
        QVERIFY(index.open(QIODevice::ReadOnly));
        QStringList indexed;
        QStringList indexedHashes;
        for (const QByteArray &line : index.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject entry = QJsonDocument::fromJson(line).object();
            QVERIFY2(!entry.isEmpty(), line.constData());
            const QString name = entry.value(QStringLiteral("file")).toString();
            QFile photo(folder.filePath(name));
            QVERIFY2(photo.open(QIODevice::ReadOnly), qPrintable(name));
            const QByteArray bytes = photo.readAll();
            QCOMPARE(qint64(bytes.size()), entry.value(QStringLiteral("size")).toInteger());
            QCOMPARE(sha256(bytes), entry.value(QStringLiteral("sha256")).toString());
            QCOMPARE(name, QStringLiteral("photo-%1.png")
                               .arg(entry.value(QStringLiteral("number")).toInteger(), 6, 10,
                                    QLatin1Char('0')));
            QVERIFY2(!indexed.contains(name), qPrintable(name));
            indexed.append(name);
            indexedHashes.append(sha256(bytes));
        }
        indexed.sort();
        QCOMPARE(indexed, files);
        // The earlier photos first, unchanged, under their numbers.
        QCOMPARE(indexedHashes, hashes);
    };
    checkFolder(expectedHashes);
    if (QTest::currentTestFailed())
        return;

    // Uploads go on, under the next number.
    const QByteArray after = photoBytes(12345);
    QCOMPARE(upload(site, sid, after), 200);
    checkFolder(expectedHashes + QStringList{sha256(after)});
}

QTEST_GUILESS_MAIN(TestSiteCrash)
#include "tst_sitecrash.moc"
