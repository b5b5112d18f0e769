// The platform's HTTP exchanges against a scripted loopback server: redirects as a browser makes
// them, the silence limit, the wire carrying exactly the Cookie field we set, and a teardown.

#include "Cookies.h"
#include "NetworkThread.h"
#include "SyncRequest.h"
#include "TinyServer.h"
#include "UrlConnection.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QTest>

using namespace platform;
using Bytes = QList<QByteArray>;

namespace {

struct Recorder : UrlConnectionDelegate {
    QList<int> redirectStatus; // 0 for the call before the first request
    QByteArray data;
    std::optional<Error> failure;
    bool finished = false;

    bool ended() const { return finished || failure.has_value(); }
    UrlRequest willSendRequest(UrlConnection *, const UrlRequest &proposed,
                               const UrlResponse *redirect) override {
        redirectStatus.append(redirect ? redirect->statusCode : 0);
        UrlRequest next = proposed;
        if (redirect) // as the login does with the session cookie it captured
            setCookieFields(next, {QNetworkCookie("sid", "s1")});
        return next;
    }
    void didReceiveResponse(UrlConnection *, const UrlResponse &) override {}
    void didReceiveData(UrlConnection *, const QByteArray &d) override { data += d; }
    void didFailWithError(UrlConnection *, const Error &e) override { failure = e; }
    void didFinishLoading(UrlConnection *) override { finished = true; }
};

UrlRequest get(const TinyServer &server,
               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    UrlRequest request;
    request.url = QUrl(QString::fromLatin1(server.url("/")));
    request.timeout = limit;
    return request;
}

} // namespace

class TestHttp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void redirectIsWhatABrowserSends_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("hops");
        QTest::addColumn<QByteArray>("method");
        QTest::newRow("302 after POST is a GET") << 302 << 1 << QByteArray("GET");
        QTest::newRow("303 after POST is a GET") << 303 << 1 << QByteArray("GET");
        QTest::newRow("307 keeps POST and body") << 307 << 1 << QByteArray("POST");
        QTest::newRow("20 redirects are followed") << 302 << 20 << QByteArray("GET");
        QTest::newRow("the 21st fails the exchange") << 302 << 21 << QByteArray("GET");
    }
    void redirectIsWhatABrowserSends() {
        QFETCH(int, status);
        QFETCH(int, hops);
        QFETCH(QByteArray, method);
        TinyServer server([&](const SeenRequest &, int n) {
            return n < hops ? TinyServer::answer(status,
                                                 "Location: /r?x=" + QByteArray::number(n) + "\r\n",
                                                 "moved")
                            : TinyServer::answer(200, "", "home");
        });
        UrlRequest login; // as the login sends it
        login.url = QUrl(QString::fromLatin1(server.url("/?m=Login&func=do_login")));
        login.method = "POST";
        login.setValue("Content-Type", "application/x-www-form-urlencoded");
        login.setValue("Referer", "http://example.invalid/?m=login");
        login.setValue("Cookie", "lang=es_ES; tempHash=m=Home&func=index");
        login.body = "email=a&input_password=b";
        Recorder recorder;
        UrlConnection connection(login, &recorder);
        connection.start();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 10000);

        const QList<SeenRequest> seen = server.seen();
        if (hops > UrlConnection::kMaxRedirects) {
            QCOMPARE(recorder.failure.value_or(Error()).code,
                     int(QNetworkReply::TooManyRedirectsError));
            QCOMPARE(seen.size(), hops);
            return;
        }
        QVERIFY(recorder.finished);
        QCOMPARE(recorder.redirectStatus, QList<int>{0} + QList<int>(hops, status));
        QCOMPARE(recorder.data, QByteArray("home"));
        QCOMPARE(seen.size(), hops + 1);
        const bool post = method == "POST";
        QCOMPARE(seen[1].method, method);
        QCOMPARE(seen[1].target, QByteArray("/r?x=0")); // relative Location resolved
        QCOMPARE(seen[1].fields.values("referer"), Bytes{"http://example.invalid/?m=login"});
        QCOMPARE(seen[1].fields.values("cookie"), Bytes{"sid=s1"});
        QCOMPARE(seen[1].body, post ? login.body : QByteArray());
        QCOMPARE(seen[1].fields.contains("content-type"), post);
    }

    void silentServerEndsAtTheLimit() {
        TinyServer server([](const SeenRequest &, int) { return Answer(); });
        QElapsedTimer clock;
        clock.start();
        const SyncResult result =
            sendSynchronousRequest(get(server, std::chrono::milliseconds(300)));
        QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 2500,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result.error.value_or(Error()).code, int(QNetworkReply::TimeoutError));
    }

    // Qt keeps a cookie jar and a cache of its own, and would put its cookies in place of ours.
    void wireCarriesExactlyOurCookieField() {
        TinyServer server([](const SeenRequest &, int) {
            return TinyServer::answer(200, "Set-Cookie: qt=jar\r\nCache-Control: max-age=3600\r\n",
                                      "x");
        });
        UrlRequest request = get(server);
        setCookieFields(request, {QNetworkCookie("sid", "abc")});
        QVERIFY(sendSynchronousRequest(request).data);
        Recorder recorder;
        UrlConnection connection(request, &recorder);
        connection.start();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 5000);
        QVERIFY(sendSynchronousRequest(request).data); // no cached answer either
        QCOMPARE(server.seen().size(), 3);
        for (const SeenRequest &r : server.seen())
            QCOMPARE(r.fields.values("cookie"), Bytes{"sid=abc"});
    }

    // A teardown must not hang on a request that the network thread will never finish.
    void shutdownEndsAWaitingRequest() {
        TinyServer server([](const SeenRequest &, int) { return Answer(); });
        SyncResult waiting;
        std::unique_ptr<QThread> exportThread(QThread::create(
            [&] { waiting = sendSynchronousRequest(get(server, std::chrono::seconds(30))); }));
        exportThread->start();
        QTRY_COMPARE_WITH_TIMEOUT(server.seen().size(), 1, 5000);
        QElapsedTimer clock;
        clock.start();
        shutdown();
        QVERIFY(exportThread->wait(5000));
        QVERIFY(waiting.error && clock.elapsed() < 2000);
        QVERIFY(sendSynchronousRequest(get(server)).error); // and answers at once after it
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
