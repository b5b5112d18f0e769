// Sign-in and sign-out of the service client against the stand-in site, in process on loopback:
// what goes on the wire, the session state under each of the site's faults, the jar, teardown.

#include "NubeloConnections.h"
#include "NubeloSite.h"
#include "ScriptedKit.h"
#include "StandInSite.h"
#include "TinyServer.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using standin::entries;
using standin::fieldValues;

namespace {

const QString kEmail = QStringLiteral("ana+fotos@example.org");
const QString kPassword = QStringLiteral("p&ss+w ord%#");
const QStringList kSidOnly{QStringLiteral("sid=<redacted>")}; // the site keeps no session id
constexpr int kNoFault = -2, kHostClosed = -1;

} // namespace

class TestSession : public QObject {
    Q_OBJECT
    QTemporaryDir mData;
    std::unique_ptr<nubelo::site::Site> mSite;
    scripted::ScriptedApplication mKit;

    std::unique_ptr<NubeloConnections> signedInClient() {
        auto client = std::make_unique<NubeloConnections>(standin::configFor(*mSite));
        client->authenticate(kEmail, kPassword);
        return client;
    }

private Q_SLOTS:
    void initTestCase() {
        std::string why;
        mSite = standin::startSite(mData.path(), kEmail, kPassword, &why);
        QVERIFY2(mSite, why.c_str());
    }
    void init() {
        mSite->clearFaults();
        mSite->clearJournal();
        mKit.clearRecords();
    }
    void cleanupTestCase() { mSite.reset(); }

    void login_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("jar"); // -1: none held, else its size
        QTest::addColumn<bool>("alert");
        QTest::newRow("signed in") << kNoFault << 3 << 1 << false;
        QTest::newRow("refused") << int(Fault::LoginRefused) << 0 << -1 << false;
        QTest::newRow("redirect without cookie")
            << int(Fault::RedirectWithoutCookie) << 3 << 0 << false;
        QTest::newRow("failure after the redirect")
            << int(Fault::DropAfterRedirect) << 3 << 1 << true;
        QTest::newRow("failure before the redirect") << kHostClosed << 0 << -1 << true;
    }
    // authenticate answers an error only for a failure before the redirect.
    void login() {
        QFETCH(int, fault);
        QFETCH(int, state);
        QFETCH(int, jar);
        QFETCH(bool, alert);
        PluginConfig config = standin::configFor(*mSite);
        QTcpServer probe; // its port is closed when it goes
        if (fault == kHostClosed && probe.listen(QHostAddress::LocalHost))
            config.siteHost = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        if (fault >= 0)
            mSite->setFault(Fault(fault));
        NubeloConnections client(config);
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const std::optional<platform::Error> error = client.authenticate(kEmail, kPassword);
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(client.getState(), state);
        const std::optional<QList<QNetworkCookie>> cookies = client.cookies();
        QCOMPARE(cookies ? int(cookies->size()) : -1, jar);
        QCOMPARE(mKit.alerts().size(), alert ? 1 : 0);
        QCOMPARE(error.has_value(), fault == kHostClosed);
        if (error)
            QCOMPARE(client.getError(), error);
        // The login as it arrives; also a regression test for a "+" in the values, which a
        // form decoder reads as a space.
        if (fault == kHostClosed)
            return;
        const nubelo::site::JournalEntry login = entries(*mSite, Exchange::Login).value(0);
        QCOMPARE(login.method + ' ' + login.target, std::string("POST /?m=Login&func=do_login"));
        QCOMPARE(fieldValues(login, "Content-Type"),
                 QStringList{QStringLiteral("application/x-www-form-urlencoded")});
        QCOMPARE(fieldValues(login, "Referer") + fieldValues(login, "Cookie"),
                 QStringList({"http://" + QString::fromStdString(mSite->siteHost()) + "/?m=login",
                              QStringLiteral("lang=es_ES; tempHash=m=Home&func=index")}));
        const QRegularExpressionMatch body =
            QRegularExpression(QStringLiteral("^email=ana%2Bfotos@example\\.org&input_password="
                                              "<redacted>&timezone=1&timestamp=([1-9][0-9]*)$"))
                .match(QString::fromStdString(login.body));
        QVERIFY2(body.hasMatch(), login.body.c_str());
        QVERIFY(body.captured(1).toLongLong() >= before && body.captured(1).toLongLong() <= after);
        // The redirected request carries the session cookie alone, in one field; an empty jar
        // no Cookie field at all.
        if (jar >= 0)
            QCOMPARE(fieldValues(entries(*mSite, Exchange::Home).value(0), "Cookie"),
                     jar ? kSidOnly : QStringList());
    }

    // Only the login's first redirect brings the session; what a later one sets is not ours.
    void laterRedirectKeepsTheJar() {
        TinyServer site([](const SeenRequest &, int n) {
            const QByteArray to = "Location: /?m=Home\r\nSet-Cookie: sid=" + QByteArray::number(n);
            return TinyServer::answer(n < 2 ? 302 : 200, n < 2 ? to + "\r\n" : "", "");
        });
        PluginConfig config;
        config.siteHost = config.uploadHost = QString::fromLatin1(site.host());
        NubeloConnections client(config);
        client.authenticate(kEmail, kPassword);
        QCOMPARE(client.cookies().value_or(QList<QNetworkCookie>()).value(0).value(), "0");
    }

    // The value tells which cookie of a name was kept.
    void jarReduction_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("one of any name") << QStringList{"a"} << QStringList{"a=0"};
        QTest::newRow("no sid keeps the last") << QStringList{"a", "b"} << QStringList{"b=1"};
        QTest::newRow("sid in the middle") << QStringList{"a", "sid", "b"} << QStringList{"sid=1"};
        QTest::newRow("first of two sids")
            << QStringList{"sid", "x", "sid"} << QStringList{"sid=0"};
        QTest::newRow("SID is not sid") << QStringList{"SID", "b"} << QStringList{"b=1"};
    }
    void jarReduction() {
        QFETCH(QStringList, names);
        QFETCH(QStringList, kept);
        QList<QNetworkCookie> jar;
        for (qsizetype i = 0; i < names.size(); ++i)
            jar.append(QNetworkCookie(names[i].toLatin1(), QByteArray::number(i)));
        NubeloConnections::reduceJar(jar);
        QStringList left;
        for (const QNetworkCookie &cookie : jar)
            left.append(QString::fromLatin1(cookie.toRawForm(QNetworkCookie::NameAndValueOnly)));
        QCOMPARE(left, kept);
    }

    // A sound logout, at teardown too, is in the hostile peers' rows.
    void signOut_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("relogin"); // by signing in again
        QTest::addColumn<int>("state");
        QTest::newRow("logout answered without a body") << int(Fault::LogoutNoBody) << false << 0;
        QTest::newRow("logout dropped") << int(Fault::LogoutDrop) << false << 3;
        QTest::newRow("login while signed in") << kNoFault << true << 3;
        // No login goes out, and the caller hears of it.
        QTest::newRow("login while signed in, its logout dropped")
            << int(Fault::LogoutDrop) << true << 3;
    }
    void signOut() {
        QFETCH(int, fault);
        QFETCH(bool, relogin);
        QFETCH(int, state);
        std::unique_ptr<NubeloConnections> client = signedInClient();
        QCOMPARE(client->getState(), int(SessionLoggedIn));
        if (fault >= 0)
            mSite->setFault(Fault(fault));
        const std::optional<platform::Error> error =
            relogin ? client->authenticate(kEmail, kPassword) : client->closeSession();
        QCOMPARE(error.has_value(), fault == int(Fault::LogoutDrop));
        QCOMPARE(client->getState(), state);
        QCOMPARE(client->cookies().has_value(), relogin && !error);
        QCOMPARE(entries(*mSite, Exchange::Login).size(), relogin && !error ? 2 : 1);
        const auto logouts = entries(*mSite, Exchange::Logout);
        QVERIFY(!logouts.isEmpty());
        QCOMPARE(logouts.first().target, std::string("/?m=Logout&func=log_out"));
        QCOMPARE(fieldValues(logouts.first(), "Cookie"), kSidOnly);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
