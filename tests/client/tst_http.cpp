// The platform's HTTP exchanges against a scripted loopback server: redirects as a browser makes
// them, with exactly the Cookie field we set, answers framed and bounded, and the silence limit.

#include "Cookies.h"
#include "SyncRequest.h"
#include "TinyServer.h"
#include "UrlConnection.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QTest>

#include <chrono>

using namespace platform;
using namespace std::chrono_literals;
using Bytes = QList<QByteArray>;

struct Recorder : UrlConnectionDelegate {
    Bytes offered; // "STATUS METHOD BODY" of each request offered, status 0 before the first
    QByteArray data;
    std::optional<Error> failure;
    bool finished = false;

    UrlRequest willSendRequest(UrlConnection *, const UrlRequest &proposed,
                               const UrlResponse *redirect) override {
        offered.append(QByteArray::number(redirect ? redirect->statusCode : 0) + ' ' +
                       proposed.method + ' ' + proposed.body);
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
            // Qt keeps a cookie jar of its own, and would put its cookies in place of ours.
            const QByteArray more = "Set-Cookie: qt=jar\r\n";
            return n < hops ? TinyServer::answer(
                                  status, more + "Location: /r?x=" + QByteArray::number(n) + "\r\n",
                                  "moved")
                            : TinyServer::answer(200, more, "home");
        });
        UrlRequest login; // as the login sends it
        login.url =
            QUrl(QString::fromLatin1("http://" + server.host() + "/?m=Login&func=do_login"));
        login.method = "POST";
        login.setValue("Content-Type", "application/x-www-form-urlencoded");
        login.setValue("Referer", "http://example.invalid/?m=login");
        login.setValue("Cookie", "lang=es_ES; tempHash=m=Home&func=index");
        login.body = "email=a&input_password=b";
        Recorder recorder;
        UrlConnection connection(login, &recorder);
        connection.start();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.finished || recorder.failure, 10000);

        const QList<SeenRequest> seen = server.seen();
        if (hops > UrlConnection::kMaxRedirects) {
            QCOMPARE(recorder.failure.value_or(Error()).code,
                     int(QNetworkReply::TooManyRedirectsError));
            QCOMPARE(seen.size(), hops);
            return;
        }
        QVERIFY(recorder.finished);
        const bool post = method == "POST";
        // The password stays behind with the POST, in what the login is offered too.
        const QByteArray next = QByteArray::number(status) + ' ' + method + ' ';
        QCOMPARE(recorder.offered,
                 Bytes{"0 POST " + login.body} + Bytes(hops, next + (post ? login.body : "")));
        QCOMPARE(recorder.data, QByteArray("home"));
        QCOMPARE(seen.size(), hops + 1);
        QVERIFY(seen[1].head.startsWith(method + ' '));
        QCOMPARE(seen[1].target(), QByteArray("/r?x=0")); // a relative Location resolved
        QCOMPARE(seen[1].field("Referer"), Bytes{"http://example.invalid/?m=login"});
        QCOMPARE(seen[1].field("Cookie"), Bytes{"sid=s1"});
        QCOMPARE(seen[1].body, post ? login.body : QByteArray());
        QCOMPARE(!seen[1].field("Content-Type").isEmpty(), post);
    }

    // A peer may answer anything: what the client reads is framed and bounded, and a body
    // never goes out twice.
    void synchronousExchange_data() {
        QTest::addColumn<QByteArray>("answer");   // to the first request; "home" to a second
        QTest::addColumn<QByteArray>("cookie");   // the request's Cookie field
        QTest::addColumn<int>("error");           // 0: none
        QTest::addColumn<QByteArray>("body");     // the answer's body read
        QTest::addColumn<QByteArray>("requests"); // "METHOD BODY" of each request the peer saw
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("chunked answer with a trailer")
            << ok + "Transfer-Encoding: chunked\r\n\r\n4;x=y\r\nabcd\r\n3\r\nefg\r\n0\r\nT: "
                    "1\r\n\r\n"
            << QByteArray("sid=1") << 0 << QByteArray("abcdefg") << QByteArray("POST photo");
        QTest::newRow("interim answer before the answer")
            << "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok"
            << QByteArray("sid=1") << 0 << QByteArray("ok") << QByteArray("POST photo");
        QTest::newRow("303 after a POST is a GET without the body")
            << QByteArray("HTTP/1.1 303 X\r\nLocation: /home\r\nContent-Length: 0\r\n\r\n")
            << QByteArray("sid=1") << 0 << QByteArray("home") << QByteArray("POST photo|GET ");
        QTest::newRow("307 after a POST fails rather than send the body again")
            << QByteArray("HTTP/1.1 307 X\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n")
            << QByteArray("sid=1") << int(QNetworkReply::ContentReSendError) << QByteArray()
            << QByteArray("POST photo");
        QTest::newRow("header block without end")
            << ok + QByteArray("X: y\r\n").repeated(20000) << QByteArray("sid=1")
            << int(QNetworkReply::ProtocolFailure) << QByteArray() << QByteArray("POST photo");
        QTest::newRow("length past the bound")
            << ok + "Content-Length: 4194305\r\n\r\nab" << QByteArray("sid=1")
            << int(QNetworkReply::ProtocolFailure) << QByteArray() << QByteArray("POST photo");
        QTest::newRow("chunk size that is no number")
            << ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n"
            << QByteArray("sid=1") << int(QNetworkReply::ProtocolFailure) << QByteArray()
            << QByteArray("POST photo");
        QTest::newRow("not HTTP") << QByteArray("SSH-2.0-x\r\n\r\n") << QByteArray("sid=1")
                                  << int(QNetworkReply::ProtocolFailure) << QByteArray()
                                  << QByteArray("POST photo");
        QTest::newRow("a cookie with a line break is never sent")
            << ok << QByteArray("sid=1\r\nX-Injected: 1")
            << int(QNetworkReply::ProtocolInvalidOperationError) << QByteArray() << QByteArray();
    }
    void synchronousExchange() {
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, cookie);
        QFETCH(int, error);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, requests);
        TinyServer server([&](const SeenRequest &, int n) {
            return n == 0 ? Answer{answer} : TinyServer::answer(200, {}, "home");
        });
        UrlRequest upload;
        upload.url = QUrl(QString::fromLatin1("http://" + server.host() + "/?upload=1"));
        upload.method = "POST";
        upload.setValue("Content-Type", "image/png");
        upload.setValue("Cookie", cookie);
        upload.body = "photo";
        upload.timeout = 10s;
        const SyncResult result = sendSynchronousRequest(upload);
        QCOMPARE(result.error.value_or(Error()).code, error);
        QCOMPARE(result.data.value_or(QByteArray()), body);
        QByteArrayList seen;
        for (const SeenRequest &request : server.seen()) {
            seen.append(request.head.left(request.head.indexOf(' ')) + ' ' + request.body);
            QCOMPARE(request.field("Cookie"), Bytes{cookie});
            QCOMPARE(request.field("Content-Type").isEmpty(), request.body.isEmpty());
        }
        QCOMPARE(seen.join('|'), requests);
    }

    void silentServerEndsAtTheLimit() {
        TinyServer server([](const SeenRequest &, int) { return Answer(); });
        // Started 20-40 ms into a tenth of a second, where a timer allowed to round its 300 ms
        // to a round time would fire 15 ms early.
        while ((std::chrono::steady_clock::now().time_since_epoch() / 1ms) % 100 / 20 != 1) {
        }
        QElapsedTimer clock;
        clock.start();
        UrlRequest request;
        request.url = QUrl(QString::fromLatin1("http://" + server.host() + "/"));
        request.timeout = 300ms;
        const SyncResult result = sendSynchronousRequest(request);
        QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 2500,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result.error.value_or(Error()).code, int(QNetworkReply::TimeoutError));
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
