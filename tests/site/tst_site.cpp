// The stand-in site: what it answers, stores and keeps, in-process through its core and store
// with no network; what only its HTTP transport does, over loopback sockets; and what only the
// nubelo-site program does.

#include "NubeloSite.h"
#include "PhotoStore.h"
#include "SiteCore.h"
#include "SiteProgram.h"

#include <QtNetwork>
#include <QtTest>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nubelo::site;
using Fields = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string kEmail = "ana@nubelo.example";
const std::string kPassword = "se&cret pw+1";
// Our client escapes "&" and the space of the password and leaves "+" alone.
const std::string kLoginBody =
    "email=ana@nubelo.example&input_password=se%26cret%20pw+1&timezone=1&timestamp=1700000000";
const QString kProgramAccount = "ana@nubelo.example:se&cret pw+1";
const std::string kUploadTarget = "/?upload=1&iframe=1";
const std::string kMultipart = "multipart/form-data; boundary=Velkaron";
const QByteArray kMultipartField = "Content-Type: multipart/form-data; boundary=Velkaron\r\n";
const std::string kForm = "application/x-www-form-urlencoded";

std::string clientBody(const std::string &photo) {
    return "--Velkaron\r\nContent-Disposition: form-data; name=\"iPhoto.png\"; "
           "filename=\"iPhoto.png\"\r\nContent-Type: image/png\r\n\r\n" +
           photo +
           "\r\n--Velkaron\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\naddq\r\n"
           "--Velkaron--\r\n";
}

// A PNG signature, bytes that look like our delimiter, and noise.
std::string photoBytes(std::size_t size, int seed = 1) {
    std::string bytes("\x89PNG\r\n\x1a\n\r\n--Velkaron\r\n--Velkaron--\r\n");
    while (bytes.size() < size)
        bytes += static_cast<char>((bytes.size() * 131 + std::size_t(seed) * 17) % 256);
    return bytes.substr(0, size);
}

std::string sha256(const std::string &bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// "number sha256" of every photo listed, or "number differs" where the file is not what the
// index says.
QStringList listing(const std::vector<StoredPhoto> &photos) {
    QStringList listed;
    for (const auto &p : photos) {
        QFile file(QString::fromStdString(p.path.string()));
        const bool same =
            file.open(QIODevice::ReadOnly) && sha256(file.readAll().toStdString()) == p.sha256;
        listed << QString::number(p.number) + " " +
                      (same ? QString::fromStdString(p.sha256) : "differs");
    }
    return listed;
}

QStringList numbered(const std::vector<std::string> &photos) {
    QStringList listed;
    for (std::size_t i = 0; i < photos.size(); ++i)
        listed << QString::number(i + 1) + " " + QString::fromStdString(sha256(photos[i]));
    return listed;
}

int modeOf(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

std::string field(const HttpReply &reply, const std::string &name) {
    for (const auto &[key, value] : reply.fields)
        if (key == name)
            return value;
    return {};
}

// One connection to a host of the transport; every read ends within five seconds.
struct Connection {
    explicit Connection(const std::string &host) {
        socket.connectToHost(
            QHostAddress::LocalHost,
            QByteArray::fromStdString(host).mid(qsizetype(host.rfind(':')) + 1).toUShort());
        socket.waitForConnected(5000);
    }
    void send(const QByteArray &bytes) {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
        }
    }
    // Up to the end of an answer's head, or all the site sends before it closes.
    QByteArray read(bool head) {
        QByteArray got;
        QDeadlineTimer deadline(5000);
        while (
            !(head && got.contains("\r\n\r\n")) && !deadline.hasExpired() &&
            (socket.bytesAvailable() > 0 || socket.waitForReadyRead(int(deadline.remainingTime()))))
            got += socket.readAll();
        return got;
    }
    void reset() {
        const linger hard{1, 0};
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket.abort();
    }
    QTcpSocket socket;
};

QByteArray requestHead(const std::string &target, const QByteArray &fields, qsizetype length) {
    return "POST " + QByteArray::fromStdString(target) + " HTTP/1.1\r\nHost: x\r\n" + fields +
           "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

QByteArray exchange(const std::string &host, const std::string &target, const QByteArray &fields,
                    const std::string &body) {
    Connection c(host);
    c.send(requestHead(target, fields + "Connection: close\r\n", qsizetype(body.size())) +
           QByteArray::fromStdString(body));
    return c.read(false);
}

int statusOf(const QByteArray &answer) {
    return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
}

// The Cookie field of a session signed in over the wire; empty when the login failed.
QByteArray signInOver(const std::string &host) {
    const QByteArray answer = exchange(host, "/?m=Login&func=do_login", {}, kLoginBody);
    const qsizetype at = answer.indexOf("Set-Cookie: sid=") + 12;
    return at < 12 ? QByteArray()
                   : "Cookie: " + answer.mid(at, answer.indexOf(';', at) - at) + "\r\n";
}

int uploadOver(const std::string &host, const QByteArray &fields, const std::string &photo) {
    return statusOf(exchange(host, kUploadTarget, fields, clientBody(photo)));
}

// Waits for the store to make a file whose name starts with `prefix` in the watched folder.
bool waitForFile(int watch, const QByteArray &prefix) {
    alignas(inotify_event) char buffer[4096];
    for (pollfd p{watch, POLLIN, 0}; ::poll(&p, 1, 20000) > 0;) {
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
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

class TestSite : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();

    void login_data();
    void login();
    void upload_data();
    void upload();
    void faults_data();
    void faults();
    void photosStayWithTheirAccount();
    void storeSurvivesRestart();

    void transportRefuses_data();
    void transportRefuses();
    void uploadCutOff();
    void bodiesInFlightBounded();
    void emulatedLink();
    void program();
    void killedMidUpload_data();
    void killedMidUpload();

private:
    std::unique_ptr<Site> startSite(Options options = {}) {
        options.dataDir = mDir->filePath("site").toStdString();
        options.accounts = {{kEmail, kPassword}};
        std::string error;
        return Site::start(options, &error);
    }
    HttpReply send(HostKind host, const std::string &method, const std::string &target,
                   const std::string &body = {}, const Fields &fields = {}) {
        HttpRequest request{host, method, target, fields, body, 0};
        request.upload = mCore->uploadBegins(request); // as the transport does at the header
        return mCore->handle(request);
    }
    std::string signIn(const std::string &body = kLoginBody) {
        const auto cookie = field(send(HostKind::Site, "POST", "/?m=Login&func=do_login", body,
                                       {{"Host", "127.0.0.1:8"}}),
                                  "Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }
    HttpReply upload(const std::string &sid, const std::string &photo) {
        return send(HostKind::Upload, "POST", kUploadTarget, clientBody(photo),
                    {{"Content-Type", kMultipart}, {"Cookie", sid}});
    }
    HttpReply queueCheck(const std::string &sid) {
        return send(HostKind::Upload, "POST", kUploadTarget, "func=checkq&wf=&qid=1\r\n",
                    {{"Content-Type", kForm}, {"Cookie", sid}});
    }

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<SiteCore> mCore;
};

void TestSite::init() {
    mDir = std::make_unique<QTemporaryDir>();
    Options options;
    options.dataDir = mDir->filePath("data").toStdString();
    options.accounts = {{kEmail, kPassword}, {"ben@nubelo.example", "other"}};
    mCore = std::make_unique<SiteCore>(options);
    std::string error;
    QVERIFY2(mCore->open(&error), error.c_str());
}

void TestSite::login_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("accepted");

    const QByteArray ours = QByteArray::fromStdString(kLoginBody);
    QTest::newRow("right credentials") << ours << true;
    QTest::newRow("e-mail in other letter case")
        << QByteArray(ours).replace("ana@", "ANA@") << true;
    QTest::newRow("browser encoding: + for a space, %2B for +")
        << QByteArray("email=ana%40nubelo.example&input_password=se%26cret+pw%2B1") << true;
    QTest::newRow("wrong password") << QByteArray(ours).replace("pw+1", "pw+2") << false;
    QTest::newRow("other account's password")
        << QByteArray("email=ana@nubelo.example&input_password=other") << false;
    QTest::newRow("unknown e-mail") << QByteArray(ours).replace("ana@", "eve@") << false;
}

void TestSite::login() {
    QFETCH(QByteArray, body);
    QFETCH(bool, accepted);

    const auto a = send(HostKind::Site, "POST", "/?m=Login&func=do_login", body.toStdString(),
                        {{"Host", "127.0.0.1:8"}, {"Cookie", "lang=es_ES"}});
    QCOMPARE(a.status, accepted ? 302 : 200);
    QCOMPARE(mCore->sessionCount(), accepted ? 1u : 0u);
    QCOMPARE(field(a, "Location"), accepted ? "http://127.0.0.1:8/?m=Home&func=index" : "");
    // QRegularExpression, not std::regex: GCC 12 warns inside <regex> when built with ASan.
    QVERIFY(QString::fromStdString(field(a, "Set-Cookie"))
                .contains(
                    QRegularExpression(accepted ? "^sid=[0-9a-f]{32}; path=/; HttpOnly$" : "^$")));
}

// The queue check answers whether the session's last upload begun was stored, so a client
// never takes an earlier photo's success for a later one's.
void TestSite::upload_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("withSession");
    QTest::addColumn<int>("status"); // 0: cut off after its header; 413: refused at the header

    const QByteArray multipart = QByteArray::fromStdString(kMultipart);
    const QByteArray good = QByteArray::fromStdString(clientBody(photoBytes(200000)));
    QTest::newRow("client form") << multipart << good << true << 200;
    QTest::newRow("no session") << multipart << good << false << 403;
    QTest::newRow("truncated form") << multipart << good.chopped(30) << true << 400;
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << good << true << 400;
    QTest::newRow("func other than addq")
        << multipart << QByteArray(good).replace("\r\naddq\r\n", "\r\nzzzz\r\n") << true << 400;
    QTest::newRow("no photo") << multipart
                              << QByteArray("--Velkaron\r\nContent-Disposition: form-data; "
                                            "name=\"func\"\r\n\r\naddq\r\n--Velkaron--\r\n")
                              << true << 400;
    QTest::newRow("addq without a form")
        << QByteArray::fromStdString(kForm) << QByteArray("func=addq") << true << 400;
    QTest::newRow("cut off in its body") << multipart << good << true << 0;
    QTest::newRow("refused at its header") << multipart << good << true << 413;
}

void TestSite::upload() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(bool, withSession);
    QFETCH(int, status);

    const std::string sid = signIn();
    const std::string other = signIn();
    QCOMPARE(queueCheck(sid).status, 404); // nothing uploaded yet
    const std::string earlier = photoBytes(100);
    QCOMPARE(upload(sid, earlier).status, 200);
    QCOMPARE(queueCheck(sid).status, 200);

    const Fields fields{{"Content-Type", contentType.toStdString()},
                        {"Cookie", withSession ? sid : ""}};
    const std::string bytes = body.toStdString();
    HttpRequest request{HostKind::Upload, "POST", kUploadTarget, fields, bytes, 0};
    if (status == 413) {
        QCOMPARE(mCore->refuse(request, 413, "too large").status, 413);
    } else if (request.upload = mCore->uploadBegins(request); status != 0) {
        const auto a = mCore->handle(request); // status 0: the body never arrives
        QCOMPARE(a.status, status);
        QVERIFY2(a.body.ends_with('\n') && std::count(a.body.begin(), a.body.end(), '\n') == 1,
                 a.body.c_str());
    }
    QCOMPARE(queueCheck(sid).status, status == 200 || !withSession ? 200 : 404);
    QCOMPARE(queueCheck(other).status, 404); // the session's own upload, not the account's

    const auto photos =
        status == 200 ? std::vector{earlier, photoBytes(200000)} : std::vector{earlier};
    QCOMPARE(listing(mCore->photos(kEmail)), numbered(photos));
}

void TestSite::faults_data() {
    QTest::addColumn<int>("fault"); // -1: none
    QTest::addColumn<QByteArray>("exchange");
    QTest::addColumn<int>("answer"); // the status, or -1 dropped, -2 reset
    QTest::addColumn<int>("check");  // the queue check once the faults are cleared

    const auto row = [](const char *name, Fault f, const char *exchange, int answer, int check) {
        QTest::newRow(name) << int(f) << QByteArray(exchange) << answer << check;
    };
    row("login refused", Fault::LoginRefused, "login", 200, 404);
    row("login without redirect", Fault::LoginNoRedirect, "login", 200, 404);
    row("redirect without cookie", Fault::RedirectWithoutCookie, "login", 302, 404);
    row("home page dropped after the redirect", Fault::DropAfterRedirect, "home", -1, 404);
    row("upload answered 500", Fault::Upload500, "upload", 500, 404);
    row("upload stored, then dropped", Fault::UploadStoredThenDrop, "upload", -1, 200);
    row("upload reset before storing", Fault::UploadReset, "upload", -2, 404);
    row("queue check answered 500", Fault::QueueCheck500, "check", 500, 404);
    row("queue check dropped", Fault::QueueCheckDrop, "check", -1, 404);
    row("logout without body", Fault::LogoutNoBody, "logout", 200, 403);
    row("logout dropped", Fault::LogoutDrop, "logout", -1, 404);
    QTest::newRow("no fault: logout ends the session") << -1 << QByteArray("logout") << 200 << 403;
}

void TestSite::faults() {
    QFETCH(int, fault);
    QFETCH(QByteArray, exchange);
    QFETCH(int, answer);
    QFETCH(int, check);

    const std::string sid = signIn();
    if (fault >= 0)
        mCore->setFault(Fault(fault), true);
    for (int attempt = 0; attempt < 2; ++attempt) { // a fault stays on until cleared
        const Fields cookie{{"Cookie", sid}};
        const auto a = exchange == "login"
                           ? send(HostKind::Site, "POST", "/?m=Login&func=do_login", kLoginBody)
                       : exchange == "home"
                           ? send(HostKind::Site, "GET", "/?m=Home&func=index", {}, cookie)
                       : exchange == "logout"
                           ? send(HostKind::Site, "GET", "/?m=Logout&func=log_out", {}, cookie)
                       : exchange == "upload" ? upload(sid, photoBytes(100))
                                              : queueCheck(sid);
        QCOMPARE(a.action, answer == -1   ? HttpReply::Action::Drop
                           : answer == -2 ? HttpReply::Action::Reset
                                          : HttpReply::Action::Answer);
        QCOMPARE(a.status, answer > 0 ? answer : a.status);
        if (exchange == "login")
            QCOMPARE(field(a, "Set-Cookie"), std::string());
        if (fault == int(Fault::LogoutNoBody))
            QCOMPARE(a.body, std::string());
    }
    QCOMPARE(mCore->photos(kEmail).size(), check == 200 ? 2u : 0u);
    mCore->clearFaults();
    QCOMPARE(queueCheck(sid).status, check);
}

void TestSite::photosStayWithTheirAccount() {
    const std::string sid = signIn();
    const std::string ben = signIn("email=ben@nubelo.example&input_password=other");
    const std::string photo = photoBytes(3000);
    QCOMPARE(upload(sid, photo).status, 200);
    const auto get = [this](const std::string &target, const std::string &cookie) {
        return send(HostKind::Site, "GET", target, {}, {{"Cookie", cookie}});
    };
    const auto image = get("/?m=Photo&n=1", sid);
    QCOMPARE(image.body, photo);
    QCOMPARE(field(image, "X-Content-Type-Options"), "nosniff");
    QCOMPARE(get("/?m=Photo&n=1", ben).status, 404);
    QCOMPARE(get("/?m=Photo&n=1", "sid=nope").status, 403);
    // One album a line: a name holding a line break would add one.
    QCOMPARE(send(HostKind::Site, "POST", "/?m=Albums&func=create_album", "name=two%0Alines",
                  {{"Cookie", sid}})
                 .status,
             400);
}

// A crash between renaming a photo and indexing it, an index line written twice, a write cut
// short, and a photo file the store did not write where it would put the next.
void TestSite::storeSurvivesRestart() {
    const std::string root = mDir->filePath("store").toStdString();
    QVERIFY(QDir().mkpath(mDir->filePath("store")));
    QCOMPARE(::chmod(root.c_str(), 0755), 0); // found readable by others: made the site's own
    auto store = std::make_unique<PhotoStore>(root);
    std::string error;
    QVERIFY(store->open(&error));
    std::vector<std::string> photos{photoBytes(4000, 1), photoBytes(5000, 2), "3"};
    for (const auto &p : photos)
        QVERIFY(store->store(kEmail, p).photo);
    QCOMPARE(store->createAlbum(kEmail, "Viaje"), PhotoStore::AlbumResult::Created);

    const QString account = mDir->filePath("store/ana@nubelo.example/");
    for (const QString &path : {mDir->filePath("store"), account})
        QCOMPARE(modeOf(path), 0700);
    for (const char *name : {"index.jsonl", "photo-000001.png", "photo-000003.bin"})
        QCOMPARE(modeOf(account + name), 0600);
    QFile index(account + "index.jsonl");
    QVERIFY(index.open(QIODevice::ReadWrite));
    const auto lines = index.readAll().split('\n');
    index.resize(0);
    index.write(lines[0] + "\n" + lines[0] + "\n" + lines[1] + "\n{\"number\":3,\"fi");
    index.close();
    QVERIFY(writeFile(account + ".tmp-0123456789abcdef", "half a photo"));

    store = std::make_unique<PhotoStore>(root);
    QCOMPARE(listing(store->photos(kEmail)), numbered(photos));
    QVERIFY(!QFile::exists(account + ".tmp-0123456789abcdef"));
    QCOMPARE(store->albums(kEmail), std::vector<std::string>{"Viaje"});

    QVERIFY(writeFile(account + "photo-000004.bin", "4"));
    QCOMPARE(store->store(kEmail, "5").photo->number, 5u);
    store = std::make_unique<PhotoStore>(root);
    photos.insert(photos.end(), {"4", "5"});
    QCOMPARE(listing(store->photos(kEmail)), numbered(photos));

    // Account names are e-mail addresses, not paths.
    for (const char *email : {"../../escape/..@x", "."})
        QVERIFY(store->store(email, "x").photo);
    QCOMPARE(QDir(mDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"data", "store"}));
    QCOMPARE(QDir(mDir->filePath("store")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3);
}

void TestSite::transportRefuses_data() {
    QTest::addColumn<bool>("uploadHost");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");

    const QByteArray upload = "POST /?upload=1&iframe=1 HTTP/1.1\r\nHost: x\r\n";
    QTest::newRow("binary garbage") << false << QByteArray("\x00\x01\xfe\xff\r\n\r\n", 8) << 400;
    QTest::newRow("huge header") << false
                                 << "GET / HTTP/1.1\r\nX-Big: " + QByteArray(20000, 'a') +
                                        "\r\n\r\n"
                                 << 431;
    QTest::newRow("body cut short") << true << upload + "Content-Length: 1000\r\n\r\n--Velkaron\r\n"
                                    << 400;
    QTest::newRow("body over the limit announced")
        << true << upload + "Content-Length: 99999999999\r\n\r\n"
        << 413;
    QTest::newRow("bad chunked body") << true << upload + "Transfer-Encoding: chunked\r\n\r\nzz\r\n"
                                      << 400;
}

// Answered with a one-line reason, and the site goes on serving.
void TestSite::transportRefuses() {
    QFETCH(bool, uploadHost);
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);

    const auto site = startSite();
    QVERIFY(site);
    Connection c(uploadHost ? site->uploadHost() : site->siteHost());
    c.send(bytes);
    ::shutdown(int(c.socket.socketDescriptor()), SHUT_WR);
    const QByteArray answer = c.read(false);
    QCOMPARE(statusOf(answer), status);
    const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    QVERIFY2(body.endsWith('\n') && body.count('\n') == 1, body);
    QVERIFY(!signInOver(site->siteHost()).isEmpty());
}

// Photo 1 stored, photo 2's connection reset halfway through its body: the queue check must not
// answer with photo 1's success.
void TestSite::uploadCutOff() {
    const auto site = startSite();
    QVERIFY(site);
    const QByteArray fields = kMultipartField + signInOver(site->siteHost());
    QCOMPARE(uploadOver(site->uploadHost(), fields, photoBytes(1000)), 200);

    const QByteArray body = QByteArray::fromStdString(clientBody(photoBytes(400000, 2)));
    Connection c(site->uploadHost());
    // The site's 100 Continue says it has read the header.
    c.send(requestHead(kUploadTarget, fields + "Expect: 100-continue\r\n", body.size()));
    QVERIFY(c.read(true).startsWith("HTTP/1.1 100 "));
    c.send(body.left(body.size() / 2));
    c.reset();
    const QByteArray check = exchange(site->uploadHost(), kUploadTarget,
                                      "Content-Type: application/x-www-form-urlencoded\r\n" +
                                          fields.mid(fields.indexOf("Cookie")),
                                      "func=checkq&wf=&qid=2\r\n");
    QCOMPARE(statusOf(check), 404);
    QCOMPARE(site->photos(kEmail).size(), 1u);
}

// Room for three bodies held at once: a fourth is answered 503 before its body is read, and the
// room of bodies cut off is given back.
void TestSite::bodiesInFlightBounded() {
    Options options;
    options.maxBuffered = 1 << 20;
    const auto site = startSite(options);
    QVERIFY(site);
    std::vector<std::unique_ptr<Connection>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<Connection>(site->uploadHost()));
        held.back()->send(
            requestHead(kUploadTarget, kMultipartField + "Expect: 100-continue\r\n", 300000));
        QCOMPARE(statusOf(held.back()->read(true)), i < 3 ? 100 : 503);
    }
    held.clear(); // cut off
    // Admitted, then refused for want of a session.
    QTRY_COMPARE_WITH_TIMEOUT(uploadOver(site->uploadHost(), kMultipartField, photoBytes(900000)),
                              403, 5000);
}

// A link that took no time would make the benchmark's uplink figures loopback's.
void TestSite::emulatedLink() {
    Options options;
    options.linkBitsPerSecond = 8'000'000;
    options.linkDelay = std::chrono::milliseconds(100);
    const auto site = startSite(options);
    QVERIFY(site);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(uploadOver(site->uploadHost(), kMultipartField, photoBytes(400000)), 403);
    QVERIFY2(clock.elapsed() >= 500, QByteArray::number(clock.elapsed()).constData());
}

void TestSite::program() {
    const QString binary = qEnvironmentVariable("NUBELO_BUILD_DIR") + "/bin/nubelo-site";
    for (const auto &[option, code] : {std::pair{"--help", 0}, std::pair{"--no-such-option", 2}}) {
        QProcess run;
        run.start(binary, {option});
        QVERIFY(run.waitForFinished(5000));
        QCOMPARE(run.exitCode(), code);
    }
    // An older journal, readable by others, at the name given: made private and started afresh.
    QFile journal(mDir->filePath("journal.jsonl"));
    QVERIFY(writeFile(journal.fileName(), "older\n"));
    QVERIFY(journal.setPermissions(journal.permissions() | QFileDevice::ReadOther));
    standin::SiteProgram server;
    QVERIFY(server.start({"--data", mDir->filePath("program"), "--journal", journal.fileName(),
                          "--account", kProgramAccount}));
    const std::string host = server.siteHost.toStdString();
    const QByteArray cookie = signInOver(host);
    const QByteArray sid = cookie.mid(8, cookie.size() - 10); // "sid=...", as the site sent it
    // The session id where no site puts it too: a query, a Set-Cookie field, a form body.
    QCOMPARE(statusOf(exchange(host, "/?m=Albums&func=create_album&" + sid.toStdString(),
                               cookie + "Set-Cookie: " + sid + "; path=/\r\n",
                               "name=x&" + sid.toStdString())),
             200);
    QCOMPARE(server.stop(), 0);
    QCOMPARE(modeOf(journal.fileName()), 0600);
    QVERIFY(journal.open(QIODevice::ReadOnly));
    const QByteArray written = journal.readAll();
    QVERIFY2(written.startsWith("{\"") && written.contains("\"exchange\":\"Login\"") &&
                 !written.contains(sid.mid(4)) && !written.contains("cret"),
             written.constData());
}

void TestSite::killedMidUpload_data() {
    QTest::addColumn<QByteArray>("moment"); // the file the store makes; empty: none yet
    QTest::addColumn<bool>("kept");         // the photo under way is there after the restart
    QTest::newRow("half of the body received") << QByteArray() << false;
    QTest::newRow("the photo being written") << QByteArray(".tmp-") << false;
    QTest::newRow("the photo just renamed into place") << QByteArray("photo-") << true;
}

// nubelo-site killed in the middle of an upload, at the moment the store itself reports, then
// started again on its folder: no photo half there under a real name, the index agrees with the
// files, the photos before are untouched, and uploads go on under the next number.
void TestSite::killedMidUpload() {
    QFETCH(QByteArray, moment);
    QFETCH(bool, kept);
    const QString data = mDir->filePath("killed");
    const QString account = data + "/ana@nubelo.example";
    const QStringList arguments{"--data", data, "--account", kProgramAccount};
    std::vector<std::string> photos{photoBytes(70001, 1), photoBytes(5003, 2)};
    const std::string big = photoBytes(8 << 20, 3);
    {
        standin::SiteProgram site;
        QVERIFY(site.start(arguments));
        const QByteArray fields = kMultipartField + signInOver(site.siteHost.toStdString());
        for (const auto &photo : photos)
            QCOMPARE(uploadOver(site.uploadHost.toStdString(), fields, photo), 200);
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(account).constData(),
                                    IN_CREATE | IN_MOVED_TO) >= 0);
        const QByteArray body = QByteArray::fromStdString(clientBody(big));
        Connection c(site.uploadHost.toStdString());
        c.send(requestHead(kUploadTarget, fields, body.size()) +
               (moment.isEmpty() ? body.left(body.size() / 2) : body));
        QVERIFY(moment.isEmpty() || waitForFile(watch, moment));
        site.kill();
        QVERIFY(site.killed());
    }
    if (kept)
        photos.push_back(big);
    {
        standin::SiteProgram site;
        QVERIFY(site.start(arguments));
        photos.push_back(photoBytes(12345, 4));
        QCOMPARE(uploadOver(site.uploadHost.toStdString(),
                            kMultipartField + signInOver(site.siteHost.toStdString()),
                            photos.back()),
                 200);
    }
    // Swept by the site when the account was first used again.
    QCOMPARE(QDir(account).entryList({".tmp-*"}, QDir::Files | QDir::Hidden), QStringList());
    PhotoStore store(data.toStdString());
    QCOMPARE(listing(store.photos(kEmail)), numbered(photos));
}

QTEST_GUILESS_MAIN(TestSite)
#include "tst_site.moc"
