// Sign-in and sign-out of the service client against the stand-in site, in process on loopback:
// what goes on the wire, the session state under each of the site's faults, teardown, threads.

#include "NubeloConnections.h"
#include "NubeloSite.h"
#include "StandInSite.h"
#include "ui/Application.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using nubelo::site::JournalEntry;
using standin::entries;
using standin::fieldValues;
using namespace std::chrono_literals;

namespace {

// The log itself is under test here (no secret may reach it), so its lines are kept.
QMutex gLogLock;
QStringList gLog;
QtMessageHandler gPreviousHandler = nullptr;
void keepLog(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    {
        QMutexLocker locker(&gLogLock);
        gLog.append(message);
    }
    gPreviousHandler(type, context, message);
}

const std::string kEmail = "ana+fotos@example.org";
const std::string kPassword = "p&ss+w ord%#";

// Records the alerts; every other call of the kit is out of place here.
class AlertRecorder : public ui::Application {
public:
    QList<platform::Error> alerts;
    platform::Expected<std::unique_ptr<QObject>> loadInterface(const QString &, QObject *,
                                                               const QList<ui::Outlet> &) override {
        return std::unique_ptr<QObject>();
    }
    void beginSheet(ui::Window *, ui::View *) override {}
    int runModalForWindow(ui::Window *) override { return 0; }
    void stopModalWithCode(int) override {}
    void endSheet(ui::Window *) override {}
    void orderOut(ui::Window *) override {}
    int runCriticalAlertPanel(const QString &, const QString &, const QString &, const QString &,
                              const QString &) override {
        return ui::AlertDefaultReturn;
    }
    void presentError(const platform::Error &error) override { alerts.append(error); }
    void msgBox(const QString &, const QString &) override {}
    bool openURL(const QUrl &) override { return false; }
};

qsizetype fieldIndex(const JournalEntry &entry, const char *name) {
    for (qsizetype i = 0; i < qsizetype(entry.fields.size()); ++i) {
        if (QString::fromStdString(entry.fields[i].first)
                .compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void loginAsSent();
    void stateAfterLogin_data();
    void stateAfterLogin();
    void loginFailureBeforeTheRedirect();
    void jarReduction_data();
    void jarReduction();
    void logout_data();
    void logout();
    void loginWhileSignedIn();
    void teardownLogout();
    void signOutWhileAnotherThreadSends();

private:
    std::unique_ptr<NubeloConnections> signedInClient();

    QTemporaryDir mData;
    std::unique_ptr<nubelo::site::Site> mSite;
    AlertRecorder mKit;
};

void TestSession::initTestCase() {
    QVERIFY(mData.isValid());
    std::string why;
    mSite = standin::startSite(mData.path(), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
    ui::setApp(&mKit);
    gPreviousHandler = qInstallMessageHandler(keepLog);
}

void TestSession::init() {
    mSite->clearFaults();
    mSite->clearJournal();
    mKit.alerts.clear();
    QMutexLocker locker(&gLogLock);
    gLog.clear();
}

void TestSession::cleanup() {}

void TestSession::cleanupTestCase() {
    qInstallMessageHandler(gPreviousHandler);
    ui::setApp(nullptr);
    mSite.reset();
}

std::unique_ptr<NubeloConnections> TestSession::signedInClient() {
    auto client = std::make_unique<NubeloConnections>(standin::configFor(*mSite));
    client->authenticate(QString::fromStdString(kEmail), QString::fromStdString(kPassword));
    return client;
}

// Also a regression test for a "+" in the values, which a form decoder reads as a space.
void TestSession::loginAsSent() {
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    std::unique_ptr<NubeloConnections> client = signedInClient();
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(client->getState(), int(SessionLoggedIn));

    const QList<JournalEntry> logins = entries(*mSite, Exchange::Login);
    QCOMPARE(logins.size(), 1);
    const JournalEntry &login = logins.first();
    QCOMPARE(login.method, std::string("POST"));
    QCOMPARE(login.target, std::string("/?m=Login&func=do_login"));
    const QString host = QString::fromStdString(mSite->siteHost());
    QCOMPARE(fieldValues(login, "Content-Type"),
             QStringList{QStringLiteral("application/x-www-form-urlencoded")});
    QCOMPARE(fieldValues(login, "Referer"), QStringList{"http://" + host + "/?m=login"});
    QCOMPARE(fieldValues(login, "Cookie"),
             QStringList{QStringLiteral("lang=es_ES; tempHash=m=Home&func=index")});
    QVERIFY(fieldIndex(login, "Content-Type") < fieldIndex(login, "Referer"));
    QVERIFY(fieldIndex(login, "Referer") < fieldIndex(login, "Cookie"));

    const QRegularExpression body(
        QStringLiteral("^email=ana%2Bfotos@example\\.org&input_password=<redacted>"
                       "&timezone=1&timestamp=([1-9][0-9]*)$"));
    const QRegularExpressionMatch match = body.match(QString::fromStdString(login.body));
    QVERIFY2(match.hasMatch(), login.body.c_str());
    const qint64 stamp = match.captured(1).toLongLong();
    QVERIFY(stamp >= before && stamp <= after);

    // The redirected request carries the session cookie alone, in one field.
    const QList<JournalEntry> homes = entries(*mSite, Exchange::Home);
    QCOMPARE(homes.size(), 1);
    const QStringList cookies = fieldValues(homes.first(), "Cookie");
    QCOMPARE(cookies.size(), 1);
    QCOMPARE(cookies.first(), QStringLiteral("sid=<redacted>")); // the site keeps no session id
    const std::optional<QList<QNetworkCookie>> jar = client->cookies();
    QVERIFY(jar && jar->size() == 1);
    const QString sid = QString::fromLatin1(jar->first().value());

    // Regression: the log carried the session cookie (and could carry the password).
    const QString log = [] {
        QMutexLocker locker(&gLogLock);
        return gLog.join(QLatin1Char('\n'));
    }();
    QVERIFY(log.contains(QLatin1String("connection:willSendRequest:redirectResponse")));
    QVERIFY(log.contains(QLatin1String("allHeaderFields: {")));
    QVERIFY(log.contains(QLatin1String("Cookies: [sid=<redacted>]")));
    QVERIFY(!log.contains(sid));
    QVERIFY(!log.contains(QLatin1String("ss+w")) && !log.contains(QLatin1String("p%26ss")));
}

void TestSession::stateAfterLogin_data() {
    QTest::addColumn<int>("fault"); // -1: none
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("jar"); // -1: none held, else its size
    QTest::addColumn<bool>("alert");
    const QString right = QString::fromStdString(kPassword);
    QTest::newRow("wrong password") << -1 << "nope" << 0 << 0 << -1 << false;
    QTest::newRow("refused") << int(Fault::LoginRefused) << right << 0 << 0 << -1 << false;
    QTest::newRow("no redirect") << int(Fault::LoginNoRedirect) << right << 0 << 0 << -1 << false;
    QTest::newRow("redirect without cookie")
        << int(Fault::RedirectWithoutCookie) << right << 0 << 3 << 0 << false;
    QTest::newRow("failure after the redirect")
        << int(Fault::DropAfterRedirect) << right << 0 << 3 << 1 << true;
    // Regression: a silent server kept the wait going until the request's own limit.
    QTest::newRow("wait ran out") << -1 << right << 5000 << 1 << -1 << false;
}

void TestSession::stateAfterLogin() {
    QFETCH(int, fault);
    QFETCH(QString, password);
    QFETCH(int, delayMs);
    QFETCH(int, state);
    QFETCH(int, jar);
    QFETCH(bool, alert);
    if (fault >= 0)
        mSite->setFault(Fault(fault));
    mSite->setDelay(Exchange::Login, std::chrono::milliseconds(delayMs));

    NubeloConnections client(standin::configFor(*mSite, 300ms, 5s));
    QElapsedTimer clock;
    clock.start();
    const std::optional<platform::Error> error =
        client.authenticate(QString::fromStdString(kEmail), password);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(client.getState(), state);
    const std::optional<QList<QNetworkCookie>> cookies = client.cookies();
    QCOMPARE(cookies ? int(cookies->size()) : -1, jar);
    QCOMPARE(mKit.alerts.size(), alert ? 1 : 0);
    QVERIFY(!error); // every row either signed in or was not refused by a failure
    if (delayMs > 0)
        QVERIFY2(elapsed >= 300 && elapsed < 2500, qPrintable(QString::number(elapsed)));
    if (jar == 0) {
        // An empty jar still replaces the login's fixed Cookie field on later requests.
        QVERIFY(client
                    .sendSessionRequest(QStringLiteral("http://%1?m=Home")
                                            .arg(QString::fromStdString(mSite->siteHost())),
                                        "GET")
                    .data);
        QVERIFY(fieldValues(mSite->journal().back(), "Cookie").isEmpty());
    }
}

// The one failure that authenticate answers besides a failed logout: nothing signed in.
void TestSession::loginFailureBeforeTheRedirect() {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QByteArray closed = "127.0.0.1:" + QByteArray::number(probe.serverPort());
    probe.close();
    PluginConfig config = standin::configFor(*mSite);
    config.siteHost = QString::fromLatin1(closed);
    NubeloConnections client(config);
    const std::optional<platform::Error> error =
        client.authenticate(QString::fromStdString(kEmail), QString::fromStdString(kPassword));
    QCOMPARE(client.getState(), int(SessionNone));
    QVERIFY(error);
    QCOMPARE(mKit.alerts, QList<platform::Error>{*error});
    QCOMPARE(client.getError(), error);
}

void TestSession::jarReduction_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("kept");
    QTest::newRow("empty") << QStringList{} << QStringList{};
    QTest::newRow("one of any name") << QStringList{"a"} << QStringList{"a"};
    QTest::newRow("no sid keeps the last") << QStringList{"a", "b"} << QStringList{"b"};
    QTest::newRow("sid in the middle") << QStringList{"a", "sid", "b"} << QStringList{"sid"};
    QTest::newRow("first of two sids") << QStringList{"sid", "x", "sid"} << QStringList{"sid"};
    QTest::newRow("SID is not sid") << QStringList{"SID", "b"} << QStringList{"b"};
}

void TestSession::jarReduction() {
    QFETCH(QStringList, names);
    QFETCH(QStringList, kept);
    QList<QNetworkCookie> jar;
    for (qsizetype i = 0; i < names.size(); ++i)
        jar.append(QNetworkCookie(names[i].toLatin1(), QByteArray::number(i)));
    NubeloConnections::reduceJar(jar);
    QStringList left;
    for (const QNetworkCookie &cookie : jar)
        left.append(QString::fromLatin1(cookie.name()));
    QCOMPARE(left, kept);
    if (names.size() > 1 && kept == QStringList{"sid"}) // the first sid, not a later one
        QCOMPARE(jar.first().value(), QByteArray::number(names.indexOf("sid")));

    // And from the site's own redirect: the redirected request carries what was kept.
    std::vector<std::string> redirectNames;
    for (const QString &name : names)
        redirectNames.push_back(name.toStdString());
    mSite->setRedirectCookies(redirectNames);
    std::unique_ptr<NubeloConnections> client = signedInClient();
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    const QList<JournalEntry> homes = entries(*mSite, Exchange::Home);
    QCOMPARE(homes.size(), 1);
    const QStringList cookies = fieldValues(homes.first(), "Cookie");
    if (kept.isEmpty()) {
        QVERIFY(cookies.isEmpty());
    } else {
        QCOMPARE(cookies.size(), 1);
        QVERIFY2(cookies.first().startsWith(kept.first() + "="), qPrintable(cookies.first()));
        QVERIFY(!cookies.first().contains(QLatin1Char(';')));
    }
}

void TestSession::logout_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("error");
    QTest::newRow("with a body") << -1 << 0 << false;
    QTest::newRow("without a body") << int(Fault::LogoutNoBody) << 0 << false;
    QTest::newRow("dropped") << int(Fault::LogoutDrop) << 3 << true;
}

void TestSession::logout() {
    QFETCH(int, fault);
    QFETCH(int, state);
    QFETCH(bool, error);
    std::unique_ptr<NubeloConnections> client = signedInClient();
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    if (fault >= 0)
        mSite->setFault(Fault(fault));

    QCOMPARE(client->closeSession().has_value(), error);
    QCOMPARE(client->getState(), state);
    QVERIFY(!client->cookies());
    const QList<JournalEntry> logouts = entries(*mSite, Exchange::Logout);
    QVERIFY(!logouts.isEmpty());
    QCOMPARE(logouts.first().target, std::string("/?m=Logout&func=log_out"));
    QCOMPARE(fieldValues(logouts.first(), "Cookie"), QStringList{"sid=<redacted>"});

    // Nothing is sent outside the signed-in state.
    mSite->clearFaults();
    client.reset(new NubeloConnections);
    const qsizetype sent = mSite->journal().size();
    QVERIFY(!client->closeSession());
    QCOMPARE(mSite->journal().size(), size_t(sent));
}

void TestSession::loginWhileSignedIn() {
    std::unique_ptr<NubeloConnections> client = signedInClient();
    QVERIFY(
        !client->authenticate(QString::fromStdString(kEmail), QString::fromStdString(kPassword)));
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    QCOMPARE(entries(*mSite, Exchange::Logout).size(), 1);
    QCOMPARE(entries(*mSite, Exchange::Login).size(), 2);

    // Its logout fails: no login goes out, and the caller hears of it.
    mSite->setFault(Fault::LogoutDrop);
    const std::optional<platform::Error> error =
        client->authenticate(QString::fromStdString(kEmail), QString::fromStdString(kPassword));
    QVERIFY(error);
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    QVERIFY(!client->cookies());
    QCOMPARE(entries(*mSite, Exchange::Login).size(), 2);
}

void TestSession::teardownLogout() {
    std::unique_ptr<NubeloConnections> client = signedInClient();
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    client.reset();
    QCOMPARE(entries(*mSite, Exchange::Logout).size(), 1);

    mSite->clearJournal();
    client = std::make_unique<NubeloConnections>(standin::configFor(*mSite));
    client.reset();
    QVERIFY(mSite->journal().empty());
}

// The export thread reads the jar while the main thread signs out. Race-free by design: under
// ThreadSanitizer this is where an unguarded jar shows.
void TestSession::signOutWhileAnotherThreadSends() {
    std::unique_ptr<NubeloConnections> client = signedInClient();
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    mSite->clearJournal();
    const QString url = "http://" + QString::fromStdString(mSite->siteHost()) + "?m=Home";
    std::atomic<int> sent{0};
    std::unique_ptr<QThread> exportThread(QThread::create([&] {
        for (int i = 0; i < 20; ++i) {
            client->sendSessionRequest(url, "GET");
            sent.fetch_add(1);
        }
    }));
    exportThread->start();
    QTRY_VERIFY_WITH_TIMEOUT(sent.load() >= 3, 5000);
    client->closeSession();
    QVERIFY(exportThread->wait(20000));
    for (const JournalEntry &e : mSite->journal()) {
        const QStringList cookies = fieldValues(e, "Cookie");
        QVERIFY(cookies.size() <= 1);
        QVERIFY(cookies.isEmpty() || cookies.first().startsWith(QLatin1String("sid=")));
    }
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
