// The plug-in's interface files and their reader, and the panel's actions that need no site:
// the suggestions mail, the About window, the keys of the settings box, cancelling the sheet.

#include "PanelHarness.h"

#include "ui/UiFile.h"

class TestPanelUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void filesBindEveryOutletAndAction();
    void readerKeepsOrderAndMarks();
    void suggestionsMailUrl_data();
    void suggestionsMailUrl();
    void settingsBoxKeys_data();
    void settingsBoxKeys();
    void aboutWindowOpensTwice();
    void cancelTouchesNeitherLine();
    void openingSheetClearsErrorAndProgress();
    void withoutKitActionsDoNothing();
};

void TestPanelUi::filesBindEveryOutletAndAction() {
    Panel panel;
    QVERIFY(panel.loaded);
    QCOMPARE(panel.controller.settingsView(), panel.control<scripted::Box>("mSettingsBox"));
    QCOMPARE(panel.controller.firstView(), panel.control<scripted::Button>("mAuthenticate"));
    QCOMPARE(panel.accountLine(), QStringLiteral("No user athenticated yet"));
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Authenticate"));
    QVERIFY(panel.control<scripted::TextField>("mLoginPassword")->isSecure());
    QVERIFY(!panel.control<scripted::TextField>("mLoginUsername")->isSecure());

    // Controls no operation uses yet stay off screen; the ones the panel drives start hidden.
    for (const char *name : {"mNewAlbumTitle", "mAlbums", "mShowAlbum", "mHelp", "mLoginRemember",
                             "mLoginErrorMessage", "mLoginProgress"})
        QVERIFY2(panel.control<ui::View>(name)->isHidden(), name);
    for (const char *name : {"mAccountInfo", "mAuthenticate", "suggestionsButton", "aboutButton",
                             "mLoginUsername", "mLoginPassword"})
        QVERIFY2(!panel.control<ui::View>(name)->isHidden(), name);
    QVERIFY(!panel.sheet()->isVisible());
    QVERIFY(panel.kit.problems().isEmpty());
}

void TestPanelUi::readerKeepsOrderAndMarks() {
    const platform::Expected<ui::UiForm> form = ui::readUiFile(":/nubelo/LoginSheet.ui");
    QVERIFY2(form, qPrintable(platform::describe(form.failure())));
    QStringList fields;
    QStringList buttons;
    for (const ui::UiControl *control : form->inTabOrder()) {
        if (control->editable)
            fields.append(control->objectName);
        if (control->kind == ui::ControlKind::Button && !control->hidden)
            buttons.append(control->objectName);
    }
    QCOMPARE(fields, QStringList({"mLoginUsername", "mLoginPassword"}));
    QCOMPARE(buttons, QStringList({"authenticateButton", "cancelButton"}));
    QVERIFY(form->find("authenticateButton")->isDefault);
    QVERIFY(form->find("cancelButton")->cancel);
    QCOMPARE(form->find("usernameLabel")->buddy, QStringLiteral("mLoginUsername"));
}

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
    Panel panel(config);
    QVERIFY(panel.kit.click("suggestionsButton"));
    QCOMPARE(panel.kit.openedUrls().size(), 1);
    const QByteArray expected = "mailto:" + recipient +
                                "?SUBJECT=%5BVelkaron%5D%20Sugerencias"
                                "&BODY=Name:%20%0Ae-mail:%20%0ASugerencias:%0A";
    QCOMPARE(panel.kit.openedUrls().first().toEncoded(), expected);
    QCOMPARE(panel.controller.suggestionsMailUrl().toUtf8(), expected);
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
    QTest::newRow("space") << QStringLiteral(" ") << false;
    QTest::newRow("letter") << QStringLiteral("c") << false;
    QTest::newRow("no character") << QString() << false;
}

void TestPanelUi::settingsBoxKeys() {
    QFETCH(QString, characters);
    QFETCH(bool, handled);
    Panel panel;
    QCOMPARE(panel.kit.pressKey("mSettingsBox", characters), handled);
    QCOMPARE(panel.mgr.clicks, handled ? 1 : 0);

    // A box whose plug-in is not set still claims the export keys, and sends nothing.
    scripted::Box box;
    NubeloExportPluginBox unconnected(&box);
    QCOMPARE(box.pressKey(characters), handled);
    QCOMPARE(panel.mgr.clicks, handled ? 1 : 0);
}

void TestPanelUi::aboutWindowOpensTwice() {
    Panel panel;
    auto *about = panel.control<scripted::Window>("mAboutDialog");
    panel.kit.answerModalByClicking("Close");
    panel.kit.answerModal([](scripted::Window &window) { window.pressEscape(); });
    const QStringList once = {"beginSheet mAboutDialog -", "runModal mAboutDialog", "stopModal 0",
                              "orderOut mAboutDialog", "endSheet mAboutDialog"};
    QVERIFY(panel.kit.click("aboutButton"));
    QVERIFY(!about->isVisible());
    QVERIFY(panel.kit.click("aboutButton"));
    QVERIFY(!about->isVisible());
    QCOMPARE(panel.kit.log(), once + once);
    QVERIFY(panel.kit.problems().isEmpty());
}

void TestPanelUi::cancelTouchesNeitherLine() {
    Panel panel;
    panel.kit.answerModalByClicking(
        "Cancel", {{"mLoginUsername", "someone@example.org"}, {"mLoginPassword", "secret"}});
    QVERIFY(panel.kit.click("mAuthenticate"));
    QCOMPARE(panel.kit.log(),
             QStringList({"beginSheet mLoginDialog mSettingsBox", "runModal mLoginDialog",
                          "stopModal 11", "orderOut mLoginDialog", "endSheet mLoginDialog"}));
    QCOMPARE(panel.accountLine(), QStringLiteral("No user athenticated yet"));
    QCOMPARE(panel.toggleTitle(), QStringLiteral("Authenticate"));
    QCOMPARE(panel.controller.connector()->getState(), int(SessionNone));
    QVERIFY(!panel.sheet()->isVisible());
    QVERIFY(panel.progress()->isHidden());
    QVERIFY(!panel.progress()->isAnimating());
    QVERIFY(panel.kit.problems().isEmpty());
}

void TestPanelUi::openingSheetClearsErrorAndProgress() {
    Panel panel;
    panel.errorLine()->setStringValue("left over");
    panel.errorLine()->setHidden(false);
    panel.progress()->setHidden(false);
    panel.control<scripted::TextField>("mLoginUsername")->setStringValue("kept@example.org");

    bool checked = false;
    panel.kit.answerModal([&](scripted::Window &window) {
        checked = true;
        QVERIFY(panel.errorLine()->stringValue().isEmpty());
        QVERIFY(panel.errorLine()->isHidden());
        QVERIFY(panel.progress()->isHidden());
        QCOMPARE(panel.control<scripted::TextField>("mLoginUsername")->stringValue(),
                 QStringLiteral("kept@example.org"));
        window.pressEscape();
    });
    QVERIFY(panel.kit.click("mAuthenticate"));
    QVERIFY(checked);
    QVERIFY(panel.kit.problems().isEmpty());
}

// Outlets stay null when no kit loaded the files; every action must then be harmless.
void TestPanelUi::withoutKitActionsDoNothing() {
    RecordingExportMgr mgr;
    NubeloExportController controller(&mgr);
    QVERIFY(!controller.loadInterface());
    controller.clickLoginLogout(nullptr);
    controller.clickAuthenticateLoginDialog(nullptr);
    controller.clickCancelLoginDialog(nullptr);
    controller.clickSugerencias(nullptr);
    controller.clickAbout(nullptr);
    controller.clickCloseAboutDialog(nullptr);
    QCOMPARE(controller.connector()->getState(), int(SessionNone));
}

QTEST_GUILESS_MAIN(TestPanelUi)
#include "tst_panel_ui.moc"
