// The sign-in toggle in each session state: it opens the login sheet only when signed out (and a
// Cancel there signs no one in), signs out when signed in (the account shown follows even when
// the logout is lost), and waits while a login is under way. The site is the stand-in on
// loopback.

#include "ExportRun.h"
#include "SiteSuite.h"

using nubelo::site::Exchange;
using nubelo::site::Fault;

class TestController : public standin::SiteSuite {
    Q_OBJECT
private Q_SLOTS:
    void toggle_data();
    void toggle();
};

void TestController::toggle_data() {
    QTest::addColumn<int>("before");
    QTest::addColumn<bool>("logoutLost");
    QTest::addColumn<bool>("sheet");
    QTest::addColumn<int>("after");
    QTest::newRow("state 0 opens the sheet") << int(SessionNone) << false << true << 0;
    QTest::newRow("state 3 signs out") << int(SessionLoggedIn) << false << false << 0;
    // The next click signs out again.
    QTest::newRow("state 3, the logout lost") << int(SessionLoggedIn) << true << false << 3;
    // A login whose wait ran out: the toggle neither opens the sheet again nor signs out.
    QTest::newRow("state 1 waits") << int(SessionLoggingIn) << false << false << 1;
}

void TestController::toggle() {
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

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
