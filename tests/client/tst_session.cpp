// Sign-in and sign-out of the service client against the stand-in site, in process on loopback:
// what goes on the wire, the session state under each of the site's faults, the jar, teardown.

#include "NubeloConnections.h"
#include "NubeloSite.h"
#include "ScriptedKit.h"
#include "StandInSite.h"

#include <QMutex>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using standin::entries;
using standin::fieldValues;

namespace {

// The log is under test here (no secret may reach it), so its lines are kept.
QMutex gLogLock;
QStringList gLog; // guarded by gLogLock
void keepLog(QtMsgType, const QMessageLogContext &, const QString &message) {
    QMutexLocker locker(&gLogLock);
    gLog.append(message);
}

const QString kEmail = QStringLiteral("ana+fotos@example.org");
const QString kPassword = QStringLiteral("p&ss+w ord%#");
const QStringList kSidOnly{QStringLiteral("sid=<redacted>")}; // the site keeps no session id

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
        qInstallMessageHandler(keepLog);
    }
    void init() {
        mSite->clearFaults();
        mSite->clearJournal();
        mKit.clearRecords();
        QMutexLocker locker(&gLogLock);
        gLog.clear();
    }
    void cleanupTestCase() {
        qInstallMessageHandler(nullptr);
        mSite.reset();
    }

    // Also a regression test for a "+" in the values, which a form decoder reads as a space.
    void loginAsSent() {
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        std::unique_ptr<NubeloConnections> client = signedInClient();
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(client->getState(), int(SessionLoggedIn));

        const auto logins = entries(*mSite, Exchange::Login);
        QCOMPARE(logins.size(), 1);
        const nubelo::site::JournalEntry &login = logins.first();
        QCOMPARE(login.method, std::string("POST"));
        QCOMPARE(login.target, std::string("/?m=Login&func=do_login"));
        QCOMPARE(fieldValues(login, "Content-Type"),
                 QStringList{QStringLiteral("application/x-www-form-urlencoded")});
        QCOMPARE(fieldValues(login, "Referer"),
                 QStringList{"http://" + QString::fromStdString(mSite->siteHost()) + "/?m=login"});
        QCOMPARE(fieldValues(login, "Cookie"),
                 QStringList{QStringLiteral("lang=es_ES; tempHash=m=Home&func=index")});
        QStringList order; // of our three fields among those Qt adds
        for (const auto &[name, value] : login.fields) {
            const QString field = QString::fromStdString(name).toLower();
            if (field == "content-type" || field == "referer" || field == "cookie")
                order.append(field);
        }
        QCOMPARE(order, (QStringList{"content-type", "referer", "cookie"}));
        const QRegularExpressionMatch body =
            QRegularExpression(QStringLiteral("^email=ana%2Bfotos@example\\.org&input_password="
                                              "<redacted>&timezone=1&timestamp=([1-9][0-9]*)$"))
                .match(QString::fromStdString(login.body));
        QVERIFY2(body.hasMatch(), login.body.c_str());
        QVERIFY(body.captured(1).toLongLong() >= before && body.captured(1).toLongLong() <= after);

        // The redirected request carries the session cookie alone, in one field.
        const auto homes = entries(*mSite, Exchange::Home);
        QCOMPARE(homes.size(), 1);
        QCOMPARE(fieldValues(homes.first(), "Cookie"), kSidOnly);
        const std::optional<QList<QNetworkCookie>> jar = client->cookies();
        QVERIFY(jar && jar->size() == 1);

        // Regression: the log carried the session cookie (and could carry the password).
        QMutexLocker locker(&gLogLock);
        const QString log = gLog.join(QLatin1Char('\n'));
        QVERIFY(log.contains(QLatin1String("Cookies: [sid=<redacted>]")));
        QVERIFY(!log.contains(QString::fromLatin1(jar->first().value())));
        QVERIFY(!log.contains(QLatin1String("ss+w")) && !log.contains(QLatin1String("p%26ss")));
    }

    void stateAfterLogin_data() {
        QTest::addColumn<int>("fault"); // -1: the site host does not answer
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("jar"); // -1: none held, else its size
        QTest::addColumn<bool>("alert");
        QTest::newRow("refused") << int(Fault::LoginRefused) << 0 << -1 << false;
        QTest::newRow("redirect without cookie")
            << int(Fault::RedirectWithoutCookie) << 3 << 0 << false;
        QTest::newRow("failure after the redirect")
            << int(Fault::DropAfterRedirect) << 3 << 1 << true;
        QTest::newRow("failure before the redirect") << -1 << 0 << -1 << true;
    }
    // authenticate answers an error only for a failure before the redirect.
    void stateAfterLogin() {
        QFETCH(int, fault);
        QFETCH(int, state);
        QFETCH(int, jar);
        QFETCH(bool, alert);
        PluginConfig config = standin::configFor(*mSite);
        if (fault < 0) {
            QTcpServer probe; // its port is closed when it goes
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            config.siteHost = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        } else {
            mSite->setFault(Fault(fault));
        }
        NubeloConnections client(config);
        const std::optional<platform::Error> error = client.authenticate(kEmail, kPassword);
        QCOMPARE(client.getState(), state);
        const std::optional<QList<QNetworkCookie>> cookies = client.cookies();
        QCOMPARE(cookies ? int(cookies->size()) : -1, jar);
        QCOMPARE(mKit.alerts().size(), alert ? 1 : 0);
        QCOMPARE(error.has_value(), fault < 0);
        if (error)
            QCOMPARE(client.getError(), error);
        // The redirected request carries the jar, and an empty jar no Cookie field at all.
        const auto homes = entries(*mSite, Exchange::Home);
        if (jar >= 0)
            QCOMPARE(fieldValues(homes.value(0), "Cookie"), jar ? kSidOnly : QStringList());
    }

    // The value tells which cookie of a name was kept.
    void jarReduction_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("empty") << QStringList{} << QStringList{};
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
    void logout_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("state");
        QTest::newRow("answered without a body") << int(Fault::LogoutNoBody) << 0;
        QTest::newRow("dropped") << int(Fault::LogoutDrop) << 3;
    }
    void logout() {
        QFETCH(int, fault);
        QFETCH(int, state);
        std::unique_ptr<NubeloConnections> client = signedInClient();
        QCOMPARE(client->getState(), int(SessionLoggedIn));
        mSite->setFault(Fault(fault));
        QCOMPARE(client->closeSession().has_value(), state != 0);
        QCOMPARE(client->getState(), state);
        QVERIFY(!client->cookies());
        const auto logouts = entries(*mSite, Exchange::Logout);
        QVERIFY(!logouts.isEmpty());
        QCOMPARE(logouts.first().target, std::string("/?m=Logout&func=log_out"));
        QCOMPARE(fieldValues(logouts.first(), "Cookie"), kSidOnly);
        mSite->clearFaults();
    }

    void loginWhileSignedIn() {
        std::unique_ptr<NubeloConnections> client = signedInClient();
        QVERIFY(!client->authenticate(kEmail, kPassword));
        QCOMPARE(client->getState(), int(SessionLoggedIn));
        QCOMPARE(entries(*mSite, Exchange::Logout).size(), 1);
        QCOMPARE(entries(*mSite, Exchange::Login).size(), 2);
        // Its logout fails: no login goes out, and the caller hears of it.
        mSite->setFault(Fault::LogoutDrop);
        QVERIFY(client->authenticate(kEmail, kPassword));
        QCOMPARE(client->getState(), int(SessionLoggedIn));
        QVERIFY(!client->cookies());
        QCOMPARE(entries(*mSite, Exchange::Login).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
