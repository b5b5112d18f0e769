// The platform's HTTP exchanges against a scripted loopback server: redirects as a browser makes
// them, answers of any status, transport failures, time limits, and the wire carrying exactly the
// Cookie field we set.

#include "Cookies.h"
#include "NetworkThread.h"
#include "SyncRequest.h"
#include "TinyServer.h"
#include "UrlConnection.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QTest>

using namespace platform;

namespace {

struct Recorder : UrlConnectionDelegate {
    QList<UrlRequest> proposed;
    QList<int> redirectStatus; // 0 for the call before the first request
    std::optional<UrlResponse> response;
    QByteArray data;
    std::optional<Error> failure;
    bool finished = false;
    std::function<void(UrlRequest &)> adjust;

    bool ended() const { return finished || failure.has_value(); }

    UrlRequest willSendRequest(UrlConnection *, const UrlRequest &p,
                               const UrlResponse *redirect) override {
        proposed.append(p);
        redirectStatus.append(redirect ? redirect->statusCode : 0);
        UrlRequest next = p;
        if (redirect && adjust)
            adjust(next);
        return next;
    }
    void didReceiveResponse(UrlConnection *, const UrlResponse &r) override { response = r; }
    void didReceiveData(UrlConnection *, const QByteArray &d) override { data += d; }
    void didFailWithError(UrlConnection *, const Error &e) override { failure = e; }
    void didFinishLoading(UrlConnection *) override { finished = true; }
};

QByteArray redirectTo(int status, const QByteArray &location) {
    return TinyServer::answer(status, "Location: " + location + "\r\n", "moved");
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort(); // closed when probe goes
}

UrlRequest loginLikePost(const QByteArray &url) {
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(url));
    request.method = "POST";
    request.setValue("Content-Type", "application/x-www-form-urlencoded");
    request.setValue("Referer", "http://example.invalid/?m=login");
    request.setValue("Cookie", "lang=es_ES; tempHash=m=Home&func=index");
    request.body = "email=a&input_password=b";
    return request;
}

} // namespace

class TestHttp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void redirectIsWhatABrowserSends_data();
    void redirectIsWhatABrowserSends();
    void redirectLimit_data();
    void redirectLimit();
    void errorStatusIsAnAnswer();
    void transportFailureIsAnError();
    void silentServerEndsAtTheLimit();
    void wireCarriesExactlyOurCookieField();
    void cookieHelpers();
    void shutdownEndsAWaitingRequest();
};

void TestHttp::redirectIsWhatABrowserSends_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<bool>("keepsBody");
    QTest::newRow("302 after POST is a GET") << 302 << QByteArray("GET") << false;
    QTest::newRow("303 after POST is a GET") << 303 << QByteArray("GET") << false;
    QTest::newRow("307 keeps POST and body") << 307 << QByteArray("POST") << true;
}

void TestHttp::redirectIsWhatABrowserSends() {
    QFETCH(int, status);
    QFETCH(QByteArray, method);
    QFETCH(bool, keepsBody);
    TinyServer server([status](const SeenRequest &, int n) {
        return n == 0 ? redirectTo(status, "/home?x=1") : TinyServer::answer(200, "", "home");
    });
    Recorder recorder;
    recorder.adjust = [](UrlRequest &r) {
        setCookieFields(r, {QNetworkCookie("sid", "s1")});
    };
    UrlConnection connection(loginLikePost(server.url("?m=Login&func=do_login")), &recorder);
    connection.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 5000);

    QVERIFY(recorder.finished);
    QCOMPARE(recorder.redirectStatus, (QList<int>{0, status}));
    QCOMPARE(recorder.data, QByteArray("home"));
    const QList<SeenRequest> seen = server.seen();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[1].method, method);
    QCOMPARE(seen[1].target, QByteArray("/home?x=1")); // relative Location resolved
    QCOMPARE(seen[1].values("Referer"), QList<QByteArray>{"http://example.invalid/?m=login"});
    QCOMPARE(seen[1].values("Cookie"), QList<QByteArray>{"sid=s1"});
    QCOMPARE(seen[1].body, keepsBody ? seen[0].body : QByteArray());
    QCOMPARE(seen[1].values("Content-Type").isEmpty(), !keepsBody);
}

void TestHttp::redirectLimit_data() {
    QTest::addColumn<int>("redirects");
    QTest::newRow("20 redirects are followed") << 20;
    QTest::newRow("the 21st fails the exchange") << 21;
}

void TestHttp::redirectLimit() {
    QFETCH(int, redirects);
    TinyServer server([redirects](const SeenRequest &, int n) {
        return n < redirects ? redirectTo(302, "/r" + QByteArray::number(n))
                             : TinyServer::answer(200, "", "end");
    });
    Recorder recorder;
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(server.url("/")));
    UrlConnection connection(request, &recorder);
    connection.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 10000);
    if (redirects <= UrlConnection::kMaxRedirects) {
        QVERIFY(recorder.finished);
        QCOMPARE(recorder.data, QByteArray("end"));
    } else {
        QVERIFY(recorder.failure);
        QCOMPARE(recorder.failure->code, int(QNetworkReply::TooManyRedirectsError));
        QCOMPARE(server.seen().size(), redirects);
    }
}

void TestHttp::errorStatusIsAnAnswer() {
    TinyServer server([](const SeenRequest &r, int) {
        return TinyServer::answer(r.method == "GET" ? 404 : 500, "", "page");
    });
    Recorder recorder;
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(server.url("/missing")));
    UrlConnection connection(request, &recorder);
    connection.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 5000);
    QVERIFY(recorder.finished);
    QCOMPARE(recorder.response->statusCode, 404);
    QCOMPARE(recorder.data, QByteArray("page"));

    request.method = "POST";
    const SyncResult result = sendSynchronousRequest(request);
    QVERIFY(!result.error);
    QCOMPARE(result.response->statusCode, 500);
    QCOMPARE(result.data, std::optional<QByteArray>("page"));
}

void TestHttp::transportFailureIsAnError() {
    UrlRequest request;
    request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort()));
    Recorder recorder;
    UrlConnection connection(request, &recorder);
    connection.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 5000);
    QVERIFY(recorder.failure);
    QCOMPARE(recorder.failure->code, int(QNetworkReply::ConnectionRefusedError));

    const SyncResult result = sendSynchronousRequest(request);
    QVERIFY(result.error);
    QVERIFY(!result.data);
}

void TestHttp::silentServerEndsAtTheLimit() {
    TinyServer server([](const SeenRequest &, int) { return QByteArray(); });
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(server.url("/")));
    request.timeout = std::chrono::milliseconds(300);

    QElapsedTimer clock;
    clock.start();
    const SyncResult result = sendSynchronousRequest(request);
    const qint64 syncElapsed = clock.elapsed();
    QVERIFY(result.error);
    QCOMPARE(result.error->code, int(QNetworkReply::TimeoutError));
    QVERIFY2(syncElapsed >= 300 && syncElapsed < 2500, qPrintable(QString::number(syncElapsed)));

    Recorder recorder;
    UrlConnection connection(request, &recorder);
    clock.restart();
    connection.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 5000);
    QVERIFY(recorder.failure);
    QCOMPARE(recorder.failure->code, int(QNetworkReply::TimeoutError));
    QVERIFY(clock.elapsed() >= 300);
}

// Qt keeps a cookie jar of its own and would put its cookies in place of ours.
void TestHttp::wireCarriesExactlyOurCookieField() {
    TinyServer server([](const SeenRequest &, int) {
        return TinyServer::answer(200, "Set-Cookie: qt=jar\r\nCache-Control: max-age=3600\r\n",
                                  "x");
    });
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(server.url("/same")));
    setCookieFields(request, {QNetworkCookie("sid", "abc")});
    QVERIFY(sendSynchronousRequest(request).data);

    Recorder recorder;
    UrlConnection connection(request, &recorder);
    connection.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 5000);
    QVERIFY(sendSynchronousRequest(request).data); // no cached answer either

    const QList<SeenRequest> seen = server.seen();
    QCOMPARE(seen.size(), 3);
    for (const SeenRequest &r : seen)
        QCOMPARE(r.values("Cookie"), QList<QByteArray>{"sid=abc"});
}

void TestHttp::cookieHelpers() {
    const HeaderFields fields{{"Location", "/"},
                              {"Set-Cookie", "lang=es; path=/\nsid=s3cr3t; HttpOnly"}};
    const QList<QNetworkCookie> cookies = cookiesWithResponseHeaderFields(fields);
    QCOMPARE(cookies.size(), 2);
    QCOMPARE(cookies[1].name(), QByteArray("sid"));
    QCOMPARE(requestHeaderFieldsWithCookies(cookies),
             (HeaderFields{{"Cookie", "lang=es; sid=s3cr3t"}}));
    QVERIFY(requestHeaderFieldsWithCookies({}).isEmpty());

    UrlRequest request;
    request.setValue("Content-Type", "multipart/form-data");
    request.setValue("Cookie", "old=1");
    setCookieFields(request, {});
    QCOMPARE(request.headerFields, (HeaderFields{{"Content-Type", "multipart/form-data"}}));

    // Regression: the log carried the session cookie's value.
    const QString logged = describeHeaderFields(fields) + describeCookies(cookies);
    QVERIFY2(!logged.contains(QLatin1String("s3cr3t")), qPrintable(logged));
    QVERIFY(logged.contains(QLatin1String("sid=<redacted>; HttpOnly")));
}

// A teardown must not hang on a request that the network thread will never finish.
void TestHttp::shutdownEndsAWaitingRequest() {
    TinyServer server([](const SeenRequest &, int) { return QByteArray(); });
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(server.url("/")));
    request.timeout = std::chrono::seconds(30);
    SyncResult waiting;
    std::unique_ptr<QThread> exportThread(
        QThread::create([&] { waiting = sendSynchronousRequest(request); }));
    exportThread->start();
    QTRY_COMPARE_WITH_TIMEOUT(server.seen().size(), 1, 5000);

    QElapsedTimer clock;
    clock.start();
    shutdown();
    QVERIFY(exportThread->wait(5000));
    QVERIFY(waiting.error);
    QVERIFY(clock.elapsed() < 2000);

    clock.restart();
    const SyncResult after = sendSynchronousRequest(request);
    QVERIFY(after.error);
    QVERIFY(clock.elapsed() < 100);
}

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
