// The panel's actions that need no site: the suggestions mail, the keys of the settings box, the
// About window.

#include "ExportRun.h"

class TestPanelUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void suggestionsMailUrl_data();
    void suggestionsMailUrl();
    void settingsBoxKeys_data();
    void settingsBoxKeys();
    void aboutWindowOpensTwice();
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

QTEST_GUILESS_MAIN(TestPanelUi)
#include "tst_panel_ui.moc"
