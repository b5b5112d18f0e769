// The account panel against the stand-in site: the sign-in toggle in each session state (it opens
// the login sheet only when signed out, and a Cancel there signs no one in; it signs out when
// signed in, and the account shown follows even when the logout is lost; it waits while a login
// is under way), the login sheet's loop (a failed attempt shows why in the sheet and lets the user
// try again or cancel; the progress spins only while a login waits), and the suggestions mail.
// The settings box's keys are the GUI test's, through the kit.

#include "ExportRun.h"
#include "SiteSuite.h"

#include <QTcpServer>
#include <QTimer>

using nubelo::site::Exchange;
using nubelo::site::Fault;

namespace {
const QString kRefused = QStringLiteral("Atuthentication failed. Please review and try again!");
} // namespace

class TestPanel : public standin::SiteSuite {
    Q_OBJECT
private Q_SLOTS:
    // First: its rows count the site's sessions, which the others leave behind.
    void toggle_data();
    void toggle();
    void secondAttempt_data();
    void secondAttempt();
    void suggestionsMailUrl_data();
    void suggestionsMailUrl();
};

// The first attempt fails: a wrong password, nothing listening, or a site too slow for the wait.
// The second is the right password, or Cancel.
void TestPanel::secondAttempt_data() {
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("error"); // shown for the second attempt; "alert": as the alert said
    QTest::addColumn<int>("state");
    QTest::newRow("refused, then the right password") << "" << kRefused << int(SessionLoggedIn);
    QTest::newRow("site unreachable, then Cancel")
        << "closed" << QString("alert") << int(SessionNone);
    QTest::newRow("wait runs out, then Cancel") << "slow" << kRefused << int(SessionLoggingIn);
}

void TestPanel::secondAttempt() {
    QFETCH(QString, site);
    QFETCH(QString, error);
    QFETCH(int, state);
    PluginConfig config = standin::configFor(*mSite, std::chrono::milliseconds(10000));
    if (site == "closed") {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        config.siteHost = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
    }
    if (site == "slow") {
        config.loginWait = std::chrono::milliseconds(200);
        mSite->setDelay(Exchange::Login, std::chrono::seconds(5));
    }
    scripted::Harness h(config);
    auto *line = h.control<scripted::TextField>("mLoginErrorMessage");
    auto *progress = h.control<scripted::ProgressIndicator>("mLoginProgress");

    // The check runs from a timer, which only the login's own wait can fire.
    int stateWhileWaiting = -1;
    bool spinning = false;
    h.kit.answerModal([&](scripted::Window &sheet) {
        QTimer::singleShot(0, [&] {
            stateWhileWaiting = h.controller.connector()->getState();
            spinning = !progress->isHidden() && progress->isAnimating();
        });
        sheet.type("mLoginUsername", kEmail);
        sheet.type("mLoginPassword", site.isEmpty() ? "wrong" : kPassword);
        sheet.click("Authenticate");
    });
    QString shown;
    bool still = false;
    h.kit.answerModal([&](scripted::Window &sheet) {
        shown = line->isHidden() ? QString() : line->stringValue();
        still = !progress->isHidden() || progress->isAnimating();
        sheet.type("mLoginPassword", kPassword);
        sheet.click(state == SessionLoggedIn ? "Authenticate" : "Cancel");
    });
    QVERIFY(h.kit.click("mAuthenticate"));

    if (site != "closed") {
        QCOMPARE(stateWhileWaiting, int(SessionLoggingIn));
        QVERIFY(spinning);
    }
    if (error == "alert") {
        QCOMPARE(h.kit.alerts().size(), 1);
        const auto alert = h.kit.alerts().first();
        error = alert.title + ": " + alert.message;
    }
    QCOMPARE(shown, error);
    QVERIFY(!still);
    QVERIFY(progress->isHidden() && !progress->isAnimating());
    QCOMPARE(h.controller.connector()->getState(), state);
    QCOMPARE(h.controller.signedInAs(), state == SessionLoggedIn ? kEmail : QString());
    QVERIFY(!h.control<scripted::Window>("mLoginDialog")->isVisible());
    QCOMPARE(h.kit.problems(), QStringList());
}

void TestPanel::suggestionsMailUrl_data() {
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("recipient");
    QTest::newRow("built-in address") << QByteArray() << QByteArray("sugerencias@nubelo.example");
    QTest::newRow("plain address")
        << QByteArray("team+photos@example.org") << QByteArray("team+photos@example.org");
    QTest::newRow("address needing escapes")
        << QByteArray("equipo ñ@example.org") << QByteArray("equipo%20%C3%B1@example.org");
}

void TestPanel::suggestionsMailUrl() {
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, recipient);
    PluginConfig config;
    if (!address.isNull())
        config.feedbackAddress = QString::fromUtf8(address);
    scripted::Harness h(config);
    QVERIFY(h.kit.click("suggestionsButton"));
    QCOMPARE(h.kit.openedUrls().size(), 1);
    QCOMPARE(
        h.kit.openedUrls().first().toEncoded(),
        "mailto:" + recipient +
            "?SUBJECT=%5BVelkaron%5D%20Sugerencias&BODY=Name:%20%0Ae-mail:%20%0ASugerencias:%0A");
}

void TestPanel::toggle_data() {
    QTest::addColumn<int>("before");
    QTest::addColumn<bool>("logoutLost");
    QTest::addColumn<bool>("sheet");
    QTest::addColumn<int>("after");
    QTest::newRow("state 0 opens the sheet") << int(SessionNone) << false << true << 0;
    QTest::newRow("state 3 signs out") << int(SessionLoggedIn) << false << false << 0;
    // The next click signs out again.
    QTest::newRow("state 3, the logout lost") << int(SessionLoggedIn) << true << false << 3;
    // A login whose wait ran out: a dead toggle left no way to sign in again.
    QTest::newRow("state 1 after the wait opens the sheet")
        << int(SessionLoggingIn) << false << true << 1;
}

void TestPanel::toggle() {
    QFETCH(int, before);
    QFETCH(bool, logoutLost);
    QFETCH(bool, sheet);
    QFETCH(int, after);
    const bool waiting = before == SessionLoggingIn;
    scripted::Harness h(
        standin::configFor(*mSite, std::chrono::milliseconds(waiting ? 200 : 10000)));
    if (before == SessionLoggedIn)
        QVERIFY(h.signIn(kEmail, kPassword));
    if (waiting) {
        mSite->setDelay(Exchange::Login, std::chrono::seconds(5));
        h.kit.answerModalByClicking("Authenticate",
                                    {{"mLoginUsername", kEmail}, {"mLoginPassword", kPassword}});
        h.kit.answerModalByClicking("Cancel");
        QVERIFY(h.kit.click("mAuthenticate"));
    }
    QCOMPARE(h.controller.connector()->getState(), before);
    mSite->setFault(Fault::LogoutDrop, logoutLost);
    // An error and a progress left from an earlier sheet go when it opens.
    auto *line = h.control<scripted::TextField>("mLoginErrorMessage");
    auto *progress = h.control<scripted::ProgressIndicator>("mLoginProgress");
    line->setStringValue("left over");
    line->setHidden(false);
    progress->setHidden(false);
    bool opened = false;
    h.kit.answerModal([&](scripted::Window &window) {
        opened = line->stringValue().isEmpty() && line->isHidden() && progress->isHidden();
        window.click("Cancel");
    });

    QVERIFY(h.kit.click("mAuthenticate"));

    QCOMPARE(opened, sheet);
    QCOMPARE(h.controller.connector()->getState(), after);
    QCOMPARE(h.controller.signedInAs(), QString());
    QCOMPARE(h.control<scripted::Button>("mAuthenticate")->title(), QStringLiteral("Authenticate"));
    QVERIFY(!h.control<scripted::Window>("mLoginDialog")->isVisible());
    if (after == SessionNone)
        QCOMPARE(mSite->sessionCount(), std::size_t(0));
    QCOMPARE(h.kit.problems(), QStringList());
}

QTEST_GUILESS_MAIN(TestPanel)
#include "tst_panel.moc"
