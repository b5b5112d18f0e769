// The stand-in site in-process on 127.0.0.1, driven by a plain HTTP client (Qt Network) and, for
// bytes no proper client would send, a raw socket.

#include "NubeloSite.h"

#include <QtNetwork>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nubelo::site;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(nubelo::site::Fault)

namespace {

const QByteArray kEmail = "ana@nubelo.example";
const QByteArray kPassword = "se&cret pw+1";
// The password as our client escapes it: "&" and the space escaped, "+" left alone.
const QByteArray kLoginBody =
    "email=ana@nubelo.example&input_password=se%26cret%20pw+1&timezone=1&timestamp=1700000000";
const QByteArray kMultipart = "multipart/form-data; boundary=Velkaron";

using Fields = QList<QPair<QByteArray, QByteArray>>;

struct Answer {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;
    qint64 elapsedMs = 0;

    QByteArray header(const QByteArray &name) const {
        for (const auto &h : headers)
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        return {};
    }
    QStringList cookieNames() const {
        QStringList names;
        for (const auto &line : header("Set-Cookie").split('\n'))
            if (!line.isEmpty())
                names << QString::fromLatin1(line.left(line.indexOf('=')));
        return names;
    }
    bool oneLineReason() const { return body.endsWith('\n') && body.count('\n') == 1; }
};

QByteArray clientBody(const QByteArray &photo) {
    return "--Velkaron\r\n"
           "Content-Disposition: form-data; name=\"iPhoto.png\"; filename=\"iPhoto.png\"\r\n"
           "Content-Type: image/png\r\n\r\n" +
           photo +
           "\r\n--Velkaron\r\n"
           "Content-Disposition: form-data; name=\"func\"\r\n\r\naddq\r\n"
           "--Velkaron\r\n"
           "Content-Disposition: form-data; name=\"wf\"\r\n\r\n\r\n"
           "--Velkaron\r\n"
           "Content-Disposition: form-data; name=\"rotate\"\r\n\r\n0\r\n"
           "--Velkaron--\r\n";
}

// A PNG signature, bytes that look like our delimiter, and noise.
QByteArray photoBytes(int size, int seed = 1) {
    QByteArray bytes("\x89PNG\r\n\x1a\n", 8);
    bytes += "\r\n--Velkaron\r\n\x01\x02--Velkaron--\r\n";
    while (bytes.size() < size)
        bytes += static_cast<char>((bytes.size() * 131 + seed * 17) % 256);
    return bytes.left(size);
}

int modeOf(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

quint16 portOf(const std::string &host) {
    return static_cast<quint16>(std::stoi(host.substr(host.rfind(':') + 1)));
}

// Sends raw bytes and reads until the server closes or the deadline passes.
QByteArray rawExchange(quint16 port, const QByteArray &bytes, bool halfClose,
                       int timeoutMs = 5000) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray received;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL) ==
            bytes.size()) {
        if (halfClose)
            ::shutdown(fd, SHUT_WR);
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                break;
            char buffer[8192];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received.append(buffer, static_cast<qsizetype>(n));
        }
    }
    ::close(fd);
    return received;
}

class Client {
public:
    QNetworkReply *start(const QByteArray &method, const QString &url, const Fields &fields = {},
                         const QByteArray &body = {}) {
        QNetworkRequest request{QUrl(url)};
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        for (const auto &[name, value] : fields)
            request.setRawHeader(name, value);
        return mManager.sendCustomRequest(request, method, body);
    }

    static Answer finish(QNetworkReply *reply, int timeoutMs = 10000) {
        if (!reply->isFinished()) {
            QEventLoop loop;
            QTimer deadline;
            deadline.setSingleShot(true);
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
            deadline.start(timeoutMs);
            loop.exec();
            if (!reply->isFinished())
                reply->abort();
        }
        Answer a;
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.error = reply->error();
        a.body = reply->readAll();
        a.headers = reply->rawHeaderPairs();
        reply->deleteLater();
        return a;
    }

    Answer send(const QByteArray &method, const QString &url, const Fields &fields = {},
                const QByteArray &body = {}) {
        QElapsedTimer timer;
        timer.start();
        Answer a = finish(start(method, url, fields, body));
        a.elapsedMs = timer.elapsed();
        return a;
    }

private:
    QNetworkAccessManager mManager;
};

} // namespace

class TestSite : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void login_data();
    void login();
    void sessionExchanges();
    void uploadStoresPhoto();
    void uploadRefusals_data();
    void uploadRefusals();
    void queueCheckTellsTruth();
    void albums();
    void gallery();

    void loginFaults_data();
    void loginFaults();
    void dropAfterRedirect();
    void uploadFaults_data();
    void uploadFaults();
    void queueCheckAndLogoutFaults_data();
    void queueCheckAndLogoutFaults();
    void delaysDoNotBlockOthers();
    void journal_data();
    void journal();

    void restartKeepsEverything();
    void uploadsInFlight_data();
    void uploadsInFlight();
    void accountFolderStaysInsideData();
    void badInput_data();
    void badInput();
    void keepAlive();
    void program();

private:
    bool startSite(Options options = {});
    QString site(const char *query) const {
        return "http://" + QString::fromStdString(mSite->siteHost()) + query;
    }
    QString uploadUrl() const {
        return "http://" + QString::fromStdString(mSite->uploadHost()) + "?upload=1&iframe=1";
    }
    QByteArray signIn();
    Answer upload(const QByteArray &sid, const QByteArray &photo) {
        return mClient.send("POST", uploadUrl(), {{"Content-Type", kMultipart}, {"Cookie", sid}},
                            clientBody(photo));
    }
    Answer queueCheck(const QByteArray &sid, int qid = 1) {
        return mClient.send(
            "POST", uploadUrl(),
            {{"Content-Type", "application/x-www-form-urlencoded"}, {"Cookie", sid}},
            "func=checkq&wf=&qid=" + QByteArray::number(qid) + "\r\n");
    }

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<Site> mSite;
    Client mClient;
};

bool TestSite::startSite(Options options) {
    mSite.reset();
    options.dataDir = mDir->filePath("data").toStdString();
    if (options.accounts.empty())
        options.accounts = {{kEmail.toStdString(), kPassword.toStdString()},
                            {"ben@nubelo.example", "other"}};
    std::string error;
    mSite = Site::start(options, &error);
    if (!mSite)
        qWarning("site: %s", error.c_str());
    return mSite != nullptr;
}

void TestSite::init() {
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(startSite());
}

void TestSite::cleanup() {
    mSite.reset();
    mDir.reset();
}

QByteArray TestSite::signIn() {
    const auto a =
        mClient.send("POST", site("?m=Login&func=do_login"),
                     {{"Content-Type", "application/x-www-form-urlencoded"}}, kLoginBody);
    const auto cookie = a.header("Set-Cookie");
    return cookie.left(cookie.indexOf(';'));
}

void TestSite::login_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("right credentials") << kLoginBody << true;
    QTest::newRow("e-mail in other letter case")
        << QByteArray(kLoginBody).replace("ana@", "ANA@") << true;
    QTest::newRow("browser encoding: + for a space, %2B for +")
        << QByteArray("email=ana%40nubelo.example&input_password=se%26cret+pw%2B1") << true;
    QTest::newRow("wrong password") << QByteArray(kLoginBody).replace("pw+1", "pw+2") << false;
    QTest::newRow("other account's password")
        << QByteArray("email=ana@nubelo.example&input_password=other") << false;
    QTest::newRow("unknown e-mail") << QByteArray(kLoginBody).replace("ana@", "eve@") << false;
}

void TestSite::login() {
    QFETCH(QByteArray, body);
    QFETCH(bool, accepted);

    const auto a = mClient.send("POST", site("?m=Login&func=do_login"),
                                {{"Content-Type", "application/x-www-form-urlencoded"},
                                 {"Referer", site("/?m=login").toUtf8()},
                                 {"Cookie", "lang=es_ES; tempHash=m=Home&func=index"}},
                                body);
    if (!accepted) {
        QCOMPARE(a.status, 200);
        QVERIFY(a.header("Location").isEmpty());
        QVERIFY(a.header("Set-Cookie").isEmpty());
        QVERIFY(a.body.contains("name=\"input_password\""));
        QCOMPARE(mSite->sessionCount(), 0u);
        return;
    }
    QCOMPARE(a.status, 302);
    QCOMPARE(a.header("Location"), site("/?m=Home&func=index").toUtf8());
    QVERIFY2(QRegularExpression("^sid=[0-9a-f]{32}; path=/; HttpOnly$")
                 .match(QString::fromLatin1(a.header("Set-Cookie")))
                 .hasMatch(),
             a.header("Set-Cookie"));
    QCOMPARE(mSite->sessionCount(), 1u);
}

void TestSite::sessionExchanges() {
    const QByteArray sid = signIn();
    const QByteArray other = signIn();
    QVERIFY(sid != other);
    const Fields withSid{{"Cookie", "lang=es_ES; " + sid}};
    const QString start("?m=Uploadphoto&func=track_web_start_photo_upload&ajax=1&store=0&"
                        "ajax_target=canvas");

    QCOMPARE(mClient.send("GET", site("/?m=Home&func=index"), withSid).status, 200);
    QCOMPARE(mClient.send("GET", site(start.toLatin1())).status, 403);
    QCOMPARE(mClient.send("GET", site(start.toLatin1()), withSid).status, 200);

    const auto out = mClient.send("GET", site("?m=Logout&func=log_out"), withSid);
    QCOMPARE(out.status, 200);
    QVERIFY(!out.body.isEmpty());
    QCOMPARE(mSite->sessionCount(), 1u); // only the other one
    QCOMPARE(mClient.send("GET", site(start.toLatin1()), withSid).status, 403);
    QCOMPARE(mClient.send("GET", site(start.toLatin1()), {{"Cookie", other}}).status, 200);
    QCOMPARE(mClient.send("GET", site("?m=Logout&func=log_out")).status, 200);
    QCOMPARE(mClient.send("GET", site("/no/such/page")).status, 404);
}

void TestSite::uploadStoresPhoto() {
    // The data folder is the site's own, even one found readable by others.
    QCOMPARE(::chmod(QFile::encodeName(mDir->filePath("data")).constData(), 0755), 0);
    QVERIFY(startSite());
    const QByteArray sid = signIn();
    const QByteArray photo = photoBytes(200000);
    const auto a = upload(sid, photo);
    QCOMPARE(a.status, 200);

    const auto photos = mSite->photos(kEmail.toStdString());
    QCOMPARE(photos.size(), 1u);
    QCOMPARE(photos[0].number, 1u);
    QCOMPARE(photos[0].size, static_cast<std::uint64_t>(photo.size()));
    const QByteArray sha = QCryptographicHash::hash(photo, QCryptographicHash::Sha256).toHex();
    QCOMPARE(QByteArray::fromStdString(photos[0].sha256), sha);
    QFile stored(QString::fromStdString(photos[0].path.string()));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), photo);
    QVERIFY(stored.fileName().startsWith(mDir->filePath("data/ana@nubelo.example/")));

    QFile index(mDir->filePath("data/ana@nubelo.example/index.jsonl"));
    QVERIFY(index.open(QIODevice::ReadOnly));
    const auto line = QJsonDocument::fromJson(index.readLine()).object();
    QCOMPARE(line.value("number").toInt(), 1);
    QCOMPARE(line.value("size").toInt(), photo.size());
    QCOMPARE(line.value("sha256").toString().toLatin1(), sha);
    QVERIFY(!line.value("time").toString().isEmpty());
    QVERIFY(mSite->photos("ben@nubelo.example").empty());
    // Photos are served through the site alone.
    for (const QString &folder :
         {mDir->filePath("data"), mDir->filePath("data/ana@nubelo.example")})
        QCOMPARE(modeOf(folder), 0700);
    QCOMPARE(modeOf(stored.fileName()), 0600);
    QCOMPARE(modeOf(index.fileName()), 0600);
}

void TestSite::uploadRefusals_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("withSession");
    QTest::addColumn<int>("status");

    const QByteArray good = clientBody(photoBytes(1000));
    QTest::newRow("no session") << kMultipart << good << false << 403;
    QTest::newRow("truncated form") << kMultipart << good.left(good.size() - 30) << true << 400;
    QTest::newRow("boundary other than the body's")
        << QByteArray("multipart/form-data; boundary=Other") << good << true << 400;
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << good << true << 400;
    QTest::newRow("func other than addq")
        << kMultipart << QByteArray(good).replace("\r\naddq\r\n", "\r\nzzzz\r\n") << true << 400;
    QTest::newRow("no photo") << kMultipart
                              << QByteArray("--Velkaron\r\nContent-Disposition: form-data; "
                                            "name=\"func\"\r\n\r\naddq\r\n--Velkaron--\r\n")
                              << true << 400;
    QTest::newRow("over the size limit")
        << kMultipart << clientBody(photoBytes(70000)) << true << 413;
}

void TestSite::uploadRefusals() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(bool, withSession);
    QFETCH(int, status);

    Options options;
    options.maxUpload = 64 * 1024;
    QVERIFY(startSite(options));
    const QByteArray sid = signIn();
    QCOMPARE(upload(sid, photoBytes(100)).status, 200); // so the check below has something to undo

    Fields fields{{"Content-Type", contentType}};
    if (withSession)
        fields.append({"Cookie", sid});
    const auto a = mClient.send("POST", uploadUrl(), fields, body);
    QCOMPARE(a.status, status);
    QVERIFY2(a.oneLineReason(), a.body);
    QCOMPARE(mSite->photos(kEmail.toStdString()).size(), 1u);
    QCOMPARE(queueCheck(sid).status, withSession ? 404 : 200);
}

void TestSite::queueCheckTellsTruth() {
    const QByteArray sid = signIn();
    const QByteArray other = signIn();
    QCOMPARE(queueCheck(sid).status, 404); // nothing uploaded yet
    QCOMPARE(upload(sid, photoBytes(500)).status, 200);
    QCOMPARE(queueCheck(sid, 7).status, 200);
    QCOMPARE(queueCheck(other).status, 404); // the session's own upload, not the account's
    QCOMPARE(mClient
                 .send("POST", uploadUrl(), {{"Content-Type", kMultipart}, {"Cookie", sid}},
                       "--Velkaron\r\ngarbage")
                 .status,
             400);
    QCOMPARE(queueCheck(sid).status, 404);
    QCOMPARE(queueCheck("sid=00000000000000000000000000000000").status, 403);
    QCOMPARE(queueCheck({}).status, 403);
}

void TestSite::albums() {
    const QByteArray sid = signIn();
    const Fields form{{"Content-Type", "application/x-www-form-urlencoded"}, {"Cookie", sid}};
    const QString create = site("?m=Albums&func=create_album");
    const QString list = site("?m=Albums&func=list_albums");

    QCOMPARE(mClient.send("POST", create, form, "name=A%C3%B1o%20nuevo").status, 200);
    QCOMPARE(mClient.send("POST", create, form, "name=Playa+2").status, 200);
    QCOMPARE(mClient.send("POST", create, form, "name=A%C3%B1o%20nuevo").status, 409);
    QCOMPARE(mClient.send("POST", create, form, "name=two%0Alines").status, 400);
    QCOMPARE(mClient.send("POST", create, form, "other=x").status, 400);
    QCOMPARE(mClient.send("POST", create, {{"Cookie", "sid=nope"}}, "name=x").status, 403);
    QCOMPARE(mClient.send("GET", list).status, 403);

    const auto a = mClient.send("GET", list, {{"Cookie", sid}});
    QCOMPARE(a.status, 200);
    QCOMPARE(QString::fromUtf8(a.body), QString::fromUtf8("Año nuevo\nPlaya+2\n"));
    QCOMPARE(mSite->albums("ben@nubelo.example").size(), 0u);
}

void TestSite::gallery() {
    const auto loginForm = mClient.send("GET", site("/"));
    QCOMPARE(loginForm.status, 200);
    QVERIFY(loginForm.body.contains("action=\"/?m=Login&amp;func=do_login\""));
    QVERIFY(loginForm.body.contains("name=\"email\""));

    const QByteArray sid = signIn();
    const QByteArray photo = photoBytes(3000);
    QCOMPARE(upload(sid, photo).status, 200);
    const auto page = mClient.send("GET", site("/"), {{"Cookie", sid}});
    QCOMPARE(page.status, 200);
    QVERIFY2(page.body.contains("src=\"/?m=Photo&amp;n=1\""), page.body);

    const auto image = mClient.send("GET", site("/?m=Photo&n=1"), {{"Cookie", sid}});
    QCOMPARE(image.status, 200);
    QCOMPARE(image.header("Content-Type"), QByteArray("image/png"));
    QCOMPARE(image.header("X-Content-Type-Options"), QByteArray("nosniff"));
    QCOMPARE(image.body, photo);
    QCOMPARE(mClient.send("GET", site("/?m=Photo&n=2"), {{"Cookie", sid}}).status, 404);
    QCOMPARE(mClient.send("GET", site("/?m=Photo&n=1")).status, 403);
}

void TestSite::loginFaults_data() {
    QTest::addColumn<int>("fault"); // -1: none
    QTest::addColumn<QStringList>("redirectCookies");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("cookieNames");
    QTest::addColumn<int>("sessions");

    QTest::newRow("login refused")
        << int(Fault::LoginRefused) << QStringList() << 200 << QStringList() << 0;
    QTest::newRow("login without redirect")
        << int(Fault::LoginNoRedirect) << QStringList() << 200 << QStringList() << 0;
    QTest::newRow("redirect without cookie")
        << int(Fault::RedirectWithoutCookie) << QStringList() << 302 << QStringList() << 1;
    QTest::newRow("sid after another cookie")
        << -1 << QStringList{"lang", "sid"} << 302 << QStringList{"lang", "sid"} << 1;
    QTest::newRow("no sid among the cookies")
        << -1 << QStringList{"a", "b"} << 302 << QStringList{"a", "b"} << 1;
}

void TestSite::loginFaults() {
    QFETCH(int, fault);
    QFETCH(QStringList, redirectCookies);
    QFETCH(int, status);
    QFETCH(QStringList, cookieNames);
    QFETCH(int, sessions);

    if (fault >= 0)
        mSite->setFault(static_cast<Fault>(fault));
    if (!redirectCookies.isEmpty()) {
        std::vector<std::string> names;
        for (const auto &n : redirectCookies)
            names.push_back(n.toStdString());
        mSite->setRedirectCookies(names);
    }
    for (int attempt = 0; attempt < 2; ++attempt) { // faults stay on until cleared
        const auto a =
            mClient.send("POST", site("?m=Login&func=do_login"),
                         {{"Content-Type", "application/x-www-form-urlencoded"}}, kLoginBody);
        QCOMPARE(a.status, status);
        QCOMPARE(a.cookieNames(), cookieNames);
        QCOMPARE(a.header("Location").isEmpty(), status != 302);
        if (cookieNames.contains("sid")) {
            // The sid among the others is a real session.
            const auto line = a.header("Set-Cookie").split('\n').at(cookieNames.indexOf("sid"));
            QCOMPARE(queueCheck(line.left(line.indexOf(';'))).status, 404);
        }
    }
    QCOMPARE(mSite->sessionCount(), static_cast<std::size_t>(sessions * 2));

    mSite->clearFaults();
    const auto a = mClient.send("POST", site("?m=Login&func=do_login"), {}, kLoginBody);
    QCOMPARE(a.status, 302);
    QCOMPARE(a.cookieNames(), QStringList{"sid"});
}

void TestSite::dropAfterRedirect() {
    mSite->setFault(Fault::DropAfterRedirect);
    const QByteArray sid = signIn();
    QVERIFY(!sid.isEmpty());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto home = mClient.send("GET", site("/?m=Home&func=index"), {{"Cookie", sid}});
        QCOMPARE(home.status, 0);
        QVERIFY(home.error != QNetworkReply::NoError);
    }
    mSite->clearFaults();
    QCOMPARE(mClient.send("GET", site("/?m=Home&func=index"), {{"Cookie", sid}}).status, 200);
}

void TestSite::uploadFaults_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("stored");

    QTest::newRow("answered 500") << Fault::Upload500 << 500 << false;
    QTest::newRow("stored, then dropped") << Fault::UploadStoredThenDrop << 0 << true;
    QTest::newRow("reset before storing") << Fault::UploadReset << 0 << false;
}

void TestSite::uploadFaults() {
    QFETCH(Fault, fault);
    QFETCH(int, status);
    QFETCH(bool, stored);

    const QByteArray sid = signIn();
    mSite->setFault(fault);
    const QByteArray photo = photoBytes(20000);
    const auto a = upload(sid, photo);
    QCOMPARE(a.status, status);
    if (status == 0)
        QVERIFY(a.error != QNetworkReply::NoError);
    // Qt may resend a request whose connection closed unanswered, so count kinds, not requests.
    const auto photos = mSite->photos(kEmail.toStdString());
    QCOMPARE(!photos.empty(), stored);
    for (const auto &p : photos)
        QCOMPARE(p.size, static_cast<std::uint64_t>(photo.size()));
    QCOMPARE(queueCheck(sid).status, stored ? 200 : 404);
    QCOMPARE(upload(sid, photo).status, status); // still on

    mSite->clearFaults();
    QCOMPARE(upload(sid, photo).status, 200);
    QCOMPARE(queueCheck(sid).status, 200);
}

void TestSite::queueCheckAndLogoutFaults_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("logout");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("sessionsAfter");

    QTest::newRow("queue check answered 500") << Fault::QueueCheck500 << false << 500 << 1;
    QTest::newRow("queue check dropped") << Fault::QueueCheckDrop << false << 0 << 1;
    QTest::newRow("logout without body") << Fault::LogoutNoBody << true << 200 << 0;
    QTest::newRow("logout dropped") << Fault::LogoutDrop << true << 0 << 1;
}

void TestSite::queueCheckAndLogoutFaults() {
    QFETCH(Fault, fault);
    QFETCH(bool, logout);
    QFETCH(int, status);
    QFETCH(int, sessionsAfter);

    const QByteArray sid = signIn();
    QCOMPARE(upload(sid, photoBytes(100)).status, 200);
    mSite->setFault(fault);
    const auto a = logout ? mClient.send("GET", site("?m=Logout&func=log_out"), {{"Cookie", sid}})
                          : queueCheck(sid);
    QCOMPARE(a.status, status);
    QCOMPARE(a.error != QNetworkReply::NoError, status != 200);
    if (fault == Fault::LogoutNoBody) {
        QCOMPARE(a.body, QByteArray());
        QCOMPARE(a.header("Content-Length"), QByteArray("0"));
    }
    QCOMPARE(mSite->sessionCount(), static_cast<std::size_t>(sessionsAfter));
    mSite->clearFaults();
    QCOMPARE(queueCheck(sid).status, sessionsAfter ? 200 : 403);
}

void TestSite::delaysDoNotBlockOthers() {
    const QByteArray sid = signIn();
    mSite->setDelay(Exchange::UploadStart, 1500ms);
    const QString start = site("?m=Uploadphoto&func=track_web_start_photo_upload&ajax=1&store=0&"
                               "ajax_target=canvas");
    // More delayed exchanges than the site has threads, each on its own connection.
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<QNetworkReply *> pending;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<Client>());
        pending.push_back(clients.back()->start("GET", start, {{"Cookie", sid}}));
    }
    QTRY_COMPARE_WITH_TIMEOUT(mSite->journal().size(), 6u, 5000); // the login, then the five
    const auto quick = mClient.send("GET", site("/?m=Home&func=index"), {{"Cookie", sid}});
    QCOMPARE(quick.status, 200);
    QVERIFY2(timer.elapsed() < 1200, QByteArray::number(timer.elapsed()));
    for (auto *reply : pending)
        QCOMPARE(Client::finish(reply).status, 200);
    QVERIFY(timer.elapsed() >= 1500);

    mSite->clearFaults();
    const auto undelayed = mClient.send("GET", start, {{"Cookie", sid}});
    QCOMPARE(undelayed.status, 200);
    QVERIFY(undelayed.elapsedMs < 1200);
}

void TestSite::journal_data() {
    QTest::addColumn<bool>("fileThere"); // an older, world-readable journal at that name
    QTest::newRow("journal file made") << false;
    QTest::newRow("journal file there before") << true;
}

void TestSite::journal() {
    QFETCH(bool, fileThere);
    const QString path = mDir->filePath("journal.jsonl");
    if (fileThere) {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older journal\n");
        old.close();
        QVERIFY(old.setPermissions(old.permissions() | QFileDevice::ReadOther));
    }
    Options options;
    options.journalFile = path.toStdString();
    QVERIFY(startSite(options));

    const QByteArray sid = signIn();
    const QByteArray photo = photoBytes(10000);
    QCOMPARE(upload(sid, photo).status, 200);
    // The session id where no site puts it: a query, a Set-Cookie field, a form body.
    QCOMPARE(mClient
                 .send("POST", site("?m=Albums&func=create_album&" + sid),
                       {{"Set-Cookie", sid + "; path=/"}, {"Cookie", "lang=es_ES; " + sid}},
                       "name=x&" + sid)
                 .status,
             200);

    const auto entries = mSite->journal();
    QCOMPARE(entries.size(), 3u);
    QCOMPARE(entries[0].exchange, Exchange::Login);
    QCOMPARE(entries[0].status, 302);
    QCOMPARE(QByteArray::fromStdString(entries[0].body),
             QByteArray(kLoginBody).replace("se%26cret%20pw+1", "<redacted>"));
    QCOMPARE(entries[1].exchange, Exchange::Upload);
    QCOMPARE(entries[1].bodySize, static_cast<std::uint64_t>(photo.size() + 317));
    QCOMPARE(QByteArray::fromStdString(entries[1].bodySha256),
             QCryptographicHash::hash(clientBody(photo), QCryptographicHash::Sha256).toHex());
    QCOMPARE(entries[2].target, std::string("/?m=Albums&func=create_album&sid=<redacted>"));
    QCOMPARE(entries[2].body, std::string("name=x&sid=<redacted>"));
    QByteArray held;
    for (const auto &e : entries) {
        held += QByteArray::fromStdString(e.target + e.body);
        for (const auto &[name, value] : e.fields)
            held += QByteArray::fromStdString(name + ": " + value + "\n");
    }
    QCOMPARE(held.count("sid=<redacted>"), 5);

    QCOMPARE(modeOf(path), 0600);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    QCOMPARE(written.trimmed().split('\n').size(), 3);
    const auto login = QJsonDocument::fromJson(written.left(written.indexOf('\n'))).object();
    QCOMPARE(login.value("body").toString().toUtf8(), QByteArray::fromStdString(entries[0].body));
    const QByteArray sidValue = sid.mid(4);
    for (const QByteArray &kept : {held, written})
        QVERIFY2(!kept.contains(sidValue) && !kept.contains("cret"), kept.constData());

    mSite->clearJournal();
    QVERIFY(mSite->journal().empty());
}

void TestSite::restartKeepsEverything() {
    QByteArray sid = signIn();
    const QByteArray first = photoBytes(4000, 1), second = photoBytes(5000, 2);
    QCOMPARE(upload(sid, first).status, 200);
    QCOMPARE(upload(sid, second).status, 200);
    QCOMPARE(
        mClient.send("POST", site("?m=Albums&func=create_album"), {{"Cookie", sid}}, "name=Viaje")
            .status,
        200);
    const auto before = mSite->photos(kEmail.toStdString());

    QVERIFY(startSite());
    auto after = mSite->photos(kEmail.toStdString());
    QCOMPARE(after.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        QCOMPARE(after[i].number, before[i].number);
        QCOMPARE(after[i].sha256, before[i].sha256);
    }
    QCOMPARE(mSite->albums(kEmail.toStdString()), std::vector<std::string>{"Viaje"});
    sid = signIn();
    QCOMPARE(upload(sid, photoBytes(100, 3)).status, 200);
    QCOMPARE(mSite->photos(kEmail.toStdString()).back().number, 3u);

    // A crash between renaming a photo and indexing it, and a write cut short.
    mSite.reset();
    const QString account = mDir->filePath("data/ana@nubelo.example/");
    QFile index(account + "index.jsonl");
    QVERIFY(index.open(QIODevice::ReadWrite));
    auto lines = index.readAll().split('\n');
    index.resize(0);
    index.write(lines[0] + "\n" + lines[1] + "\n{\"number\":3,\"fi"); // third line torn
    index.close();
    QFile leftover(account + ".tmp-0123456789abcdef");
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.write("half a photo");
    leftover.close();

    QVERIFY(startSite());
    after = mSite->photos(kEmail.toStdString());
    QCOMPARE(after.size(), 3u);
    QCOMPARE(after[2].number, 3u);
    QVERIFY(!QFile::exists(leftover.fileName()));
    sid = signIn();
    QCOMPARE(upload(sid, photoBytes(100, 4)).status, 200);
    QCOMPARE(mSite->photos(kEmail.toStdString()).back().number, 4u);
}

void TestSite::uploadsInFlight_data() {
    QTest::addColumn<bool>("finished"); // the bodies admitted arrive whole, or are cut off
    QTest::newRow("eight at once, those admitted finished") << true;
    QTest::newRow("eight at once, those admitted cut off") << false;
}

// Room for three of the eight bodies: the rest are answered 503 before their body is read, the
// three are stored side by side, and whatever became of them the room is given back.
void TestSite::uploadsInFlight() {
    QFETCH(bool, finished);
    Options options;
    options.maxBuffered = 1 << 20;
    QVERIFY(startSite(options));
    const QByteArray sid = signIn();
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QList<QByteArray> bodies;
    for (int i = 0; i < 8; ++i) {
        bodies.append(clientBody(photoBytes(300000, i)));
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, portOf(mSite->uploadHost()));
        sockets.back()->write("POST /?upload=1&iframe=1 HTTP/1.1\r\nHost: x\r\nContent-Type: " +
                              kMultipart + "\r\nCookie: " + sid +
                              "\r\nContent-Length: " + QByteArray::number(bodies.back().size()) +
                              "\r\n\r\n" + bodies.back().left(1000));
    }
    const auto answered = [&] {
        return std::count_if(sockets.begin(), sockets.end(),
                             [](const auto &s) { return s->bytesAvailable() > 0; });
    };
    QTRY_COMPARE_WITH_TIMEOUT(answered(), 5, 10000);
    QSet<QByteArray> sent;
    std::vector<QTcpSocket *> admitted;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        QTcpSocket &socket = *sockets[i];
        if (socket.bytesAvailable() > 0) {
            QVERIFY(socket.readAll().startsWith("HTTP/1.1 503 "));
        } else if (!finished) {
            socket.abort();
        } else {
            socket.write(bodies[qsizetype(i)].mid(1000));
            sent.insert(
                QCryptographicHash::hash(photoBytes(300000, int(i)), QCryptographicHash::Sha256)
                    .toHex());
            admitted.push_back(&socket);
        }
    }
    for (QTcpSocket *socket : admitted) {
        QTRY_VERIFY_WITH_TIMEOUT(socket->bytesAvailable() > 0, 10000);
        QVERIFY(socket->readAll().startsWith("HTTP/1.1 200 "));
    }
    QSet<QByteArray> stored;
    for (const auto &p : mSite->photos(kEmail.toStdString()))
        stored.insert(QByteArray::fromStdString(p.sha256));
    QCOMPARE(stored, sent);

    // A body that takes nearly all the room once the cut-off connections are gone.
    QTRY_COMPARE_WITH_TIMEOUT(upload(sid, photoBytes(900000)).status, 200, 5000);
}

void TestSite::accountFolderStaysInsideData() {
    Options options;
    options.accounts = {{"../../escape/..@x", "pw"}, {".", "pw2"}};
    QVERIFY(startSite(options));
    for (const QByteArray &body : {QByteArray("email=../../escape/..@x&input_password=pw"),
                                   QByteArray("email=.&input_password=pw2")}) {
        const auto a = mClient.send("POST", site("?m=Login&func=do_login"), {}, body);
        QCOMPARE(a.status, 302);
        const auto cookie = a.header("Set-Cookie");
        QCOMPARE(upload(cookie.left(cookie.indexOf(';')), photoBytes(100)).status, 200);
    }
    const QDir data(mDir->filePath("data"));
    const auto folders = data.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folders.size(), 2);
    for (const auto &folder : folders)
        QCOMPARE(QDir(data.filePath(folder)).entryList({"photo-*"}, QDir::Files).size(), 1);
    QCOMPARE(QDir(mDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"data"});
}

void TestSite::badInput_data() {
    QTest::addColumn<bool>("uploadHost");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");

    QTest::newRow("binary garbage")
        << false << QByteArray("\x00\x01\xfe\xff garbage\r\n\r\n", 16) << 400;
    QTest::newRow("request line without version") << false << QByteArray("GET /\r\n\r\n") << 400;
    QTest::newRow("huge header") << false
                                 << "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                        QByteArray(20000, 'a') + "\r\n\r\n"
                                 << 431;
    QTest::newRow("truncated body")
        << true
        << QByteArray("POST /?upload=1&iframe=1 HTTP/1.1\r\nHost: x\r\nContent-Type: "
                      "multipart/form-data; boundary=Velkaron\r\nContent-Length: 1000\r\n\r\n"
                      "--Velkaron\r\n")
        << 400;
    QTest::newRow("body over the limit announced")
        << true
        << QByteArray("POST /?upload=1&iframe=1 HTTP/1.1\r\nHost: x\r\nContent-Length: "
                      "99999999999\r\n\r\n")
        << 413;
    QTest::newRow("bad chunked body")
        << true
        << QByteArray("POST /?upload=1&iframe=1 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
                      "chunked\r\n\r\nzz\r\n")
        << 400;
    QTest::newRow("broken escape in the target")
        << false << QByteArray("GET /?m=%zz HTTP/1.1\r\n\r\n") << 400;
}

void TestSite::badInput() {
    QFETCH(bool, uploadHost);
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);

    const quint16 port = portOf(uploadHost ? mSite->uploadHost() : mSite->siteHost());
    const QByteArray answer = rawExchange(port, bytes, true);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status) + " "), answer);
    const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    QVERIFY2(!body.isEmpty() && body.endsWith('\n') && body.count('\n') == 1, body);
    QVERIFY(mSite->photos(kEmail.toStdString()).empty());

    // Still serving.
    const QByteArray sid = signIn();
    QCOMPARE(upload(sid, photoBytes(100)).status, 200);
}

void TestSite::keepAlive() {
    const QByteArray request = "GET /?m=login HTTP/1.1\r\nHost: x\r\n\r\n";
    const QByteArray answer = rawExchange(portOf(mSite->siteHost()),
                                          request + request +
                                              "GET /?m=login HTTP/1.1\r\nHost: x\r\n"
                                              "Connection: close\r\n\r\n",
                                          false);
    QCOMPARE(answer.count("HTTP/1.1 200 OK\r\n"), 3);
    QVERIFY(answer.endsWith("</html>\n"));
    QCOMPARE(mSite->journal().size(), 3u);
}

void TestSite::program() {
    const QString binary = qEnvironmentVariable("NUBELO_BUILD_DIR") + "/bin/nubelo-site";
    QVERIFY2(QFile::exists(binary), qPrintable(binary));

    QProcess help;
    help.start(binary, {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    QVERIFY(help.readAllStandardOutput().contains("--upload-port"));
    QProcess wrong;
    wrong.start(binary, {"--no-such-option"});
    QVERIFY(wrong.waitForFinished(5000));
    QCOMPARE(wrong.exitCode(), 2);

    QProcess server;
    server.start(binary, {"--data", mDir->filePath("program"), "--site-port", "0", "--journal",
                          mDir->filePath("program.jsonl")});
    QMap<QByteArray, QByteArray> printed;
    QDeadlineTimer deadline(10000);
    while (!printed.contains("account") && !deadline.hasExpired()) {
        if (!server.canReadLine() && !server.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (server.canReadLine()) {
            const QByteArray line = server.readLine().trimmed();
            printed.insert(line.left(line.indexOf(' ')), line.mid(line.indexOf(' ') + 1));
        }
    }
    QVERIFY2(printed.contains("site-host") && printed.contains("upload-host") &&
                 printed.contains("account"),
             server.readAllStandardError());
    QVERIFY(printed["site-host"].startsWith("127.0.0.1:"));
    const auto account = printed["account"].split(':');
    const auto a = mClient.send("POST", "http://" + printed["site-host"] + "?m=Login&func=do_login",
                                {}, "email=" + account[0] + "&input_password=" + account[1]);
    QCOMPARE(a.status, 302);

    server.terminate(); // SIGTERM
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QFile journal(mDir->filePath("program.jsonl"));
    QCOMPARE(modeOf(journal.fileName()), 0600);
    QVERIFY(journal.open(QIODevice::ReadOnly));
    const QByteArray written = journal.readAll();
    QVERIFY(written.contains("\"exchange\":\"Login\"") && !written.contains(account[1]));
}

QTEST_GUILESS_MAIN(TestSite)
#include "tst_site.moc"
