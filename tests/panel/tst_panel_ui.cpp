// The panel's action that needs no site: the suggestions mail. (The settings box's Return key is
// the widget kit's test, through the controller.)

#include "ExportRun.h"

class TestPanelUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void suggestionsMailUrl_data();
    void suggestionsMailUrl();
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

QTEST_GUILESS_MAIN(TestPanelUi)
#include "tst_panel_ui.moc"
