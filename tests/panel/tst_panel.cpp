// The account panel: the login sheet's loop against the stand-in site (a failed attempt shows why
// in the sheet and lets the user try again or cancel; the progress spins only while a login
// waits), and the suggestions mail. The settings box's keys are the GUI test's, through the kit.

#include "ExportRun.h"
#include "SiteSuite.h"

#include <QTcpServer>
#include <QTimer>

using nubelo::site::Exchange;

namespace {
const QString kRefused = QStringLiteral("Atuthentication failed. Please review and try again!");
} // namespace

class TestPanel : public standin::SiteSuite {
    Q_OBJECT
private Q_SLOTS:
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

QTEST_GUILESS_MAIN(TestPanel)
#include "tst_panel.moc"
