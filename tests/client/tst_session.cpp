// Sign-in and sign-out of the service client against the stand-in site, in process on loopback:
// what goes on the wire, the session state under each of the site's faults, the jar, teardown.

#include "NubeloConnections.h"
#include "ScriptedKit.h"
#include "SiteSuite.h"
#include "TinyServer.h"

#include <QRegularExpression>
#include <QTest>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using namespace standin;

namespace {

const QStringList kSidOnly{QStringLiteral("sid=<redacted>")}; // the site keeps no session id
constexpr int kNoFault = -2, kHostClosed = -1;

} // namespace

class TestSession : public SiteSuite {
    Q_OBJECT
    scripted::ScriptedApplication mKit;

public:
    // Characters the login form must escape, in both fields.
    TestSession()
        : SiteSuite(QStringLiteral("ana+fotos@example.org"), QStringLiteral("p&ss+w ord%#")) {}

private Q_SLOTS:
    void init() {
        SiteSuite::init();
        mKit.clearRecords();
    }

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
        PluginConfig config = configFor(*mSite);
        if (fault == kHostClosed) // a port no one may take but root
            config.siteHost = QStringLiteral("127.0.0.1:1");
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

    // The value tells which cookie of a name was kept.
    void jar_data() {
        QTest::addColumn<QByteArrayList>("names");
        QTest::addColumn<QByteArray>("kept");
        QTest::newRow("one of any name") << QByteArrayList{"a"} << QByteArray("a=0");
        QTest::newRow("no sid keeps the last") << QByteArrayList{"a", "b"} << QByteArray("b=1");
        QTest::newRow("sid in the middle")
            << QByteArrayList{"a", "sid", "b"} << QByteArray("sid=1");
        QTest::newRow("first of two sids")
            << QByteArrayList{"sid", "x", "sid"} << QByteArray("sid=0");
        QTest::newRow("SID is not sid") << QByteArrayList{"SID", "b"} << QByteArray("b=1");
    }
    // What the login keeps of the cookies its redirect sets; a later redirect's are not ours.
    void jar() {
        QFETCH(QByteArrayList, names);
        QFETCH(QByteArray, kept);
        TinyServer site([&](const SeenRequest &, int n) {
            QByteArray fields = "Location: /?m=Home\r\n";
            for (qsizetype i = 0; i < names.size(); ++i)
                fields +=
                    "Set-Cookie: " + (n ? "sid=late" : names[i] + '=' + QByteArray::number(i)) +
                    "\r\n";
            return TinyServer::answer(n < 2 ? 302 : 200, n < 2 ? fields : "", "");
        });
        const QString host = QString::fromLatin1(site.host());
        NubeloConnections client({.siteHost = host, .uploadHost = host});
        client.authenticate(kEmail, kPassword);
        const QList<QNetworkCookie> jar = client.cookies().value_or(QList<QNetworkCookie>());
        QCOMPARE(jar.size(), 1);
        QCOMPARE(jar[0].toRawForm(QNetworkCookie::NameAndValueOnly), kept);
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
        NubeloConnections client(configFor(*mSite));
        client.authenticate(kEmail, kPassword);
        if (fault >= 0)
            mSite->setFault(Fault(fault));
        const std::optional<platform::Error> error =
            relogin ? client.authenticate(kEmail, kPassword) : client.closeSession();
        QCOMPARE(error.has_value(), fault == int(Fault::LogoutDrop));
        QCOMPARE(client.getState(), state);
        QCOMPARE(client.cookies().has_value(), relogin && !error);
        QCOMPARE(entries(*mSite, Exchange::Login).size(), relogin && !error ? 2 : 1);
        const nubelo::site::JournalEntry logout = entries(*mSite, Exchange::Logout).value(0);
        QCOMPARE(logout.target, std::string("/?m=Logout&func=log_out"));
        QCOMPARE(fieldValues(logout, "Cookie"), kSidOnly);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
