// The account panel against the stand-in site: the login sheet's loop, the account line and the
// toggle through sign-in, refusal, failure, a wait that runs out, and sign-out.

#include "PanelHarness.h"

#include "NubeloSite.h"
#include "StandInSite.h"

#include <QLoggingCategory>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

using nubelo::site::Exchange;
using nubelo::site::Fault;

namespace {

const QString kEmail = QStringLiteral("ana@example.org");
const QString kPassword = QStringLiteral("right+pass");
const QString kRefused = QStringLiteral("Atuthentication failed. Please review and try again!");

QList<std::pair<QString, QString>> credentials(const QString &password) {
    return {{"mLoginUsername", kEmail}, {"mLoginPassword", password}};
}

int count(const QStringList &log, const QString &prefix) {
    int n = 0;
    for (const QString &line : log)
        n += line.startsWith(prefix) ? 1 : 0;
    return n;
}

} // namespace

class TestPanelLogin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void refusedThenRightAttempt();
    void progressSpinsWhileLoginWaits();
    void signOutResetsLabels_data();
    void signOutResetsLabels();
    void loginErrorShownAsDomainAndDescription();
    void toggleDoesNothingWhileLoggingIn();

private:
    QTemporaryDir mData;
    std::unique_ptr<nubelo::site::Site> mSite;
    PluginConfig mConfig; // the stand-in site's
};

void TestPanelLogin::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("nubelo.*.info=false"));
    QVERIFY(mData.isValid());
    std::string why;
    mSite = standin::startSite(mData.path(), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
    mConfig = standin::configFor(*mSite, std::chrono::seconds(10), std::chrono::seconds(10));
}

void TestPanelLogin::init() {
    mSite->clearFaults();
    mSite->clearJournal();
}

void TestPanelLogin::cleanupTestCase() {
    mSite.reset();
}

void TestPanelLogin::refusedThenRightAttempt() {
    Panel panel(mConfig);
    panel.kit.answerModalByClicking("Authenticate", credentials("wrong"));
    bool sawRefusal = false;
    panel.kit.answerModal([&](scripted::Window &sheet) {
        sawRefusal = sheet.isVisible() && !panel.errorLine()->isHidden() &&
                     panel.errorLine()->stringValue() == kRefused && panel.progress()->isHidden() &&
                     !panel.progress()->isAnimating();
        sheet.type("mLoginPassword", kPassword);
        sheet.click("Authenticate");
    });
    QVERIFY(panel.kit.click("mAuthenticate"));

    QVERIFY(sawRefusal);
    QCOMPARE(panel.controller.connector()->getState(), int(SessionLoggedIn));
    QCOMPARE(panel.accountLine(), kEmail + " logged in");
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Logout"));
    QVERIFY(!panel.sheet()->isVisible());
    const QStringList log = panel.kit.log();
    QCOMPARE(count(log, "beginSheet mLoginDialog mSettingsBox"), 1);
    QCOMPARE(count(log, "runModal mLoginDialog"), 2);
    QCOMPARE(log.mid(log.size() - 2),
             QStringList({"orderOut mLoginDialog", "endSheet mLoginDialog"}));
    QVERIFY(panel.kit.problems().isEmpty());
}

// The check runs from a timer, which only the login's own wait can fire.
void TestPanelLogin::progressSpinsWhileLoginWaits() {
    Panel panel(mConfig);
    int stateSeen = -1;
    bool spinning = false;
    panel.kit.answerModal([&](scripted::Window &sheet) {
        QTimer::singleShot(0, [&] {
            stateSeen = panel.controller.connector()->getState();
            spinning = !panel.progress()->isHidden() && panel.progress()->isAnimating();
        });
        sheet.type("mLoginUsername", kEmail);
        sheet.type("mLoginPassword", kPassword);
        sheet.click("Authenticate");
    });
    QVERIFY(panel.kit.click("mAuthenticate"));
    QCOMPARE(stateSeen, int(SessionLoggingIn));
    QVERIFY(spinning);
    QVERIFY(panel.progress()->isHidden());
    QVERIFY(!panel.progress()->isAnimating());
    QCOMPARE(panel.controller.connector()->getState(), int(SessionLoggedIn));
}

void TestPanelLogin::signOutResetsLabels_data() {
    QTest::addColumn<bool>("logoutFails");
    QTest::newRow("logout answered") << false;
    QTest::newRow("logout dropped") << true;
}

void TestPanelLogin::signOutResetsLabels() {
    QFETCH(bool, logoutFails);
    Panel panel(mConfig);
    panel.kit.answerModalByClicking("Authenticate", credentials(kPassword));
    QVERIFY(panel.kit.click("mAuthenticate"));
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Logout"));

    mSite->setFault(Fault::LogoutDrop, logoutFails);
    panel.kit.clearRecords();
    QVERIFY(panel.kit.click("mAuthenticate"));
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Authenticate"));
    QCOMPARE(panel.accountLine(), QStringLiteral("No user athenticated yet"));
    QVERIFY(panel.kit.log().isEmpty()); // no sheet for a sign-out
    QCOMPARE(panel.controller.connector()->getState(),
             int(logoutFails ? SessionLoggedIn : SessionNone));

    if (logoutFails) {
        // Still signed in as far as the session goes: the next click signs out again.
        mSite->clearFaults();
        QVERIFY(panel.kit.click("mAuthenticate"));
        QCOMPARE(panel.controller.connector()->getState(), int(SessionNone));
        QVERIFY(panel.kit.log().isEmpty());
    }
    QVERIFY(panel.kit.problems().isEmpty());
}

void TestPanelLogin::loginErrorShownAsDomainAndDescription() {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QByteArray closed = "127.0.0.1:" + QByteArray::number(probe.serverPort());
    probe.close();
    PluginConfig config = mConfig;
    config.siteHost = QString::fromLatin1(closed);
    Panel panel(config);
    QString line;
    bool shown = false;
    panel.kit.answerModalByClicking("Authenticate", credentials(kPassword));
    panel.kit.answerModal([&](scripted::Window &sheet) {
        line = panel.errorLine()->stringValue();
        shown = !panel.errorLine()->isHidden();
        sheet.click("Cancel");
    });
    QVERIFY(panel.kit.click("mAuthenticate"));

    QCOMPARE(panel.kit.alerts().size(), 1);
    const scripted::ScriptedApplication::Alert alert = panel.kit.alerts().first();
    QCOMPARE(alert.kind, QStringLiteral("error"));
    QVERIFY(!alert.title.isEmpty() && !alert.message.isEmpty());
    QCOMPARE(line, alert.title + ": " + alert.message);
    QVERIFY(shown);
    QCOMPARE(panel.accountLine(), QStringLiteral("No user athenticated yet"));
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Authenticate"));
    QVERIFY(panel.kit.problems().isEmpty());
}

// A login whose wait runs out leaves the session "logging in"; once the sheet is cancelled the
// toggle must not open it again, nor sign out.
void TestPanelLogin::toggleDoesNothingWhileLoggingIn() {
    PluginConfig config = mConfig;
    config.loginWait = std::chrono::milliseconds(200);
    Panel panel(config);
    mSite->setDelay(Exchange::Login, std::chrono::seconds(5));
    QString line;
    panel.kit.answerModalByClicking("Authenticate", credentials(kPassword));
    panel.kit.answerModal([&](scripted::Window &sheet) {
        line = panel.errorLine()->stringValue();
        sheet.click("Cancel");
    });
    QVERIFY(panel.kit.click("mAuthenticate"));
    QCOMPARE(line, kRefused);
    QCOMPARE(panel.controller.connector()->getState(), int(SessionLoggingIn));

    panel.kit.clearRecords();
    QVERIFY(panel.kit.click("mAuthenticate"));
    QVERIFY(panel.kit.log().isEmpty());
    QCOMPARE(panel.accountLine(), QStringLiteral("No user athenticated yet"));
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Authenticate"));
    QCOMPARE(panel.controller.connector()->getState(), int(SessionLoggingIn));
    QVERIFY(panel.kit.problems().isEmpty());
}

QTEST_GUILESS_MAIN(TestPanelLogin)
#include "tst_panel_login.moc"
