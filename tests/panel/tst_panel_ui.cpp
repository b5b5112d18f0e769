// The panel's actions that need no site: the suggestions mail, the keys of the settings box, the
// About window, opening and cancelling the login sheet; and the login sheet file as read.

#include "ExportRun.h"

#include "ui/UiFile.h"

class TestPanelUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void suggestionsMailUrl_data();
    void suggestionsMailUrl();
    void settingsBoxKeys_data();
    void settingsBoxKeys();
    void aboutWindowOpensTwice();
    void sheetOpensCleanAndCancels();
    void readerKeepsOrderAndMarks();
};

void TestPanelUi::suggestionsMailUrl_data() {
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("recipient");
    QTest::newRow("built-in address") << QByteArray() << QByteArray("sugerencias@nubelo.example");
    QTest::newRow("plain address")
        << QByteArray("team+photos@example.org") << QByteArray("team+photos@example.org");
    QTest::newRow("address needing escapes")
        << QByteArray("equipo ñ@example.org") << QByteArray("equipo%20%C3%B1@example.org");
}

void TestPanelUi::suggestionsMailUrl() {
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

void TestPanelUi::settingsBoxKeys_data() {
    QTest::addColumn<QString>("characters");
    QTest::addColumn<bool>("handled");
    QTest::newRow("keypad enter") << QString(QChar(3)) << true;
    QTest::newRow("line feed") << QString(QChar(10)) << true;
    QTest::newRow("form feed") << QString(QChar(12)) << true;
    QTest::newRow("return") << QString(QChar(13)) << true;
    QTest::newRow("return first of several") << QStringLiteral("\rx") << true;
    QTest::newRow("tab") << QStringLiteral("\t") << false;
    QTest::newRow("escape") << QStringLiteral("\x1b") << false;
    QTest::newRow("letter") << QStringLiteral("c") << false;
    QTest::newRow("no character") << QString() << false;
}

void TestPanelUi::settingsBoxKeys() {
    QFETCH(QString, characters);
    QFETCH(bool, handled);
    scripted::Harness h;
    QCOMPARE(h.control<scripted::Box>("mSettingsBox")->pressKey(characters), handled);
    QCOMPARE(h.host.clicks, handled ? 1 : 0);
}

void TestPanelUi::aboutWindowOpensTwice() {
    scripted::Harness h;
    h.kit.answerModalByClicking("Close");
    h.kit.answerModal([](scripted::Window &window) { window.pressEscape(); });
    for (int i = 0; i < 2; ++i) {
        QVERIFY(h.kit.click("aboutButton"));
        QVERIFY(!h.control<scripted::Window>("mAboutDialog")->isVisible());
    }
    QCOMPARE(h.kit.log().filter("endSheet mAboutDialog").size(), 2);
    QCOMPARE(h.kit.problems(), QStringList());
}

// An error and a spinning progress left from an earlier sheet are gone when it opens again; the
// address typed stays. Cancel signs no one in.
void TestPanelUi::sheetOpensCleanAndCancels() {
    scripted::Harness h;
    auto *line = h.control<scripted::TextField>("mLoginErrorMessage");
    auto *progress = h.control<scripted::ProgressIndicator>("mLoginProgress");
    auto *user = h.control<scripted::TextField>("mLoginUsername");
    line->setStringValue("left over");
    line->setHidden(false);
    progress->setHidden(false);
    user->setStringValue("kept@example.org");
    bool clean = false;
    h.kit.answerModal([&](scripted::Window &window) {
        clean = line->stringValue().isEmpty() && line->isHidden() && progress->isHidden() &&
                user->stringValue() == "kept@example.org";
        window.type("mLoginPassword", "secret");
        window.click("Cancel");
    });
    QVERIFY(h.kit.click("mAuthenticate"));
    QVERIFY(clean);
    QCOMPARE(h.controller.connector()->getState(), int(SessionNone));
    QCOMPARE(h.controller.signedInAs(), QString());
    QVERIFY(!h.control<scripted::Window>("mLoginDialog")->isVisible());
    QVERIFY(progress->isHidden() && !progress->isAnimating());
    QCOMPARE(h.kit.log().last(), QStringLiteral("endSheet mLoginDialog"));
    QCOMPARE(h.kit.problems(), QStringList());
}

// The kits move the focus in this order and press these buttons for Return and Escape.
void TestPanelUi::readerKeepsOrderAndMarks() {
    const platform::Expected<ui::UiForm> form = ui::readUiFile(":/nubelo/LoginSheet.ui");
    QVERIFY2(form, qPrintable(platform::describe(form.failure())));
    QStringList order;
    for (const ui::UiControl *control : form->inTabOrder()) {
        if (control->editable || (control->kind == ui::ControlKind::Button && !control->hidden))
            order.append(control->objectName);
    }
    QCOMPARE(order, QStringList({"mLoginUsername", "mLoginPassword", "authenticateButton",
                                 "cancelButton"}));
    QVERIFY(form->find("authenticateButton")->isDefault);
    QVERIFY(form->find("cancelButton")->cancel);
    QCOMPARE(form->find("usernameLabel")->buddy, QStringLiteral("mLoginUsername"));
}

QTEST_GUILESS_MAIN(TestPanelUi)
#include "tst_panel_ui.moc"
