// The panel's actions that need no site: the suggestions mail and the keys of the settings box.

#include "ExportRun.h"

class TestPanelUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void suggestionsMailUrl_data();
    void suggestionsMailUrl();
    void settingsBoxKeys_data();
    void settingsBoxKeys();
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
    // Return and keypad Enter as a keyboard sends them are the widget kit's own test.
    QTest::newRow("line feed") << QStringLiteral("\n") << true;
    QTest::newRow("form feed") << QStringLiteral("\f") << true;
    QTest::newRow("return first of several") << QStringLiteral("\rx") << true;
    QTest::newRow("escape") << QStringLiteral("\x1b") << false;
    QTest::newRow("no character") << QString() << false;
}

void TestPanelUi::settingsBoxKeys() {
    QFETCH(QString, characters);
    QFETCH(bool, handled);
    scripted::Harness h;
    QCOMPARE(h.control<scripted::Box>("mSettingsBox")->pressKey(characters), handled);
    QCOMPARE(h.host.clicks, handled ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestPanelUi)
#include "tst_panel_ui.moc"
