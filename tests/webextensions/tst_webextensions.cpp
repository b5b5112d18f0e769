#include "WebExtensions.h"

#include <QTest>

using namespace WebExtensions;

namespace {

const QString kLoneHigh = QString(QChar(char16_t(0xD83D)));
const QString kLoneLow = QString(QChar(char16_t(0xDE00)));
const QString kGrinning = QString::fromUcs4(U"\U0001F600");

// Every ASCII character and a few beyond it, to compare whole character classes at once.
QString asciiAndMore() {
    QString s;
    for (char16_t c = 0; c < 128; ++c)
        s += QChar(c);
    return s + QStringLiteral(u"é€") + kGrinning;
}

} // namespace

class TestWebExtensions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addPercentEscapes_data();
    void addPercentEscapes();
    void percentEscapesMatchReference();
    void replacePercentEscapes_data();
    void replacePercentEscapes();
    void percentEscapesRoundTrip();
};

void TestWebExtensions::addPercentEscapes_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QString("") << true << QString("");
    QTest::newRow("e-mail address")
        << QString("jo.doe@mail.example") << true << QString("jo.doe@mail.example");
    QTest::newRow("password specials")
        << QString("a&b c%d#e+f=g") << true << QString("a%26b%20c%25d%23e+f=g");
    QTest::newRow("marks and reserved kept")
        << QString("-_.!~*'();/?:@=+$,") << true << QString("-_.!~*'();/?:@=+$,");
    QTest::newRow("delimiters and unwise")
        << QString("\"<>{}[]\\^`|") << true << QString("%22%3C%3E%7B%7D%5B%5D%5C%5E%60%7C");
    QTest::newRow("controls") << QString::fromLatin1("\0\t\n\x7f", 4) << true
                              << QString("%00%09%0A%7F");
    QTest::newRow("latin letter as UTF-8") << QStringLiteral(u"é") << true << QString("%C3%A9");
    QTest::newRow("surrogate pair is one character")
        << kGrinning << true << QString("%F0%9F%98%80");
    QTest::newRow("lone high surrogate") << "a" + kLoneHigh + "b" << false << QString();
    QTest::newRow("lone low surrogate") << kLoneLow << false << QString();
    QTest::newRow("pair halves swapped") << kLoneLow + kLoneHigh << false << QString();
    QTest::newRow("high surrogate at end") << "x" + kLoneHigh << false << QString();
}

void TestWebExtensions::addPercentEscapes() {
    QFETCH(QString, input);
    QFETCH(bool, ok);
    QFETCH(QString, expected);
    const std::optional<QString> result = stringByAddingPercentEscapes(input);
    QCOMPARE(result.has_value(), ok);
    if (ok)
        QCOMPARE(*result, expected);
}

// Both escapers against Qt's own percent encoding, which keeps the unreserved characters plus
// those named, in upper-case hex.
void TestWebExtensions::percentEscapesMatchReference() {
    const QString s = asciiAndMore();
    QCOMPARE(*stringByAddingPercentEscapes(s),
             QString::fromLatin1(s.toUtf8().toPercentEncoding("!*'();/?:@=+$,")));
    QCOMPARE(stringByAddingPercentEscapesUsingEncoding(s),
             QString::fromLatin1(s.toUtf8().toPercentEncoding("!$&'()*+,/:;=?@")));

    QCOMPARE(stringByAddingPercentEscapesUsingEncoding("[Velkaron] Sugerencias"),
             QString("%5BVelkaron%5D%20Sugerencias"));
    QCOMPARE(stringByAddingPercentEscapesUsingEncoding("Name: \ne-mail: \nSugerencias:\n"),
             QString("Name:%20%0Ae-mail:%20%0ASugerencias:%0A"));
    QCOMPARE(stringByAddingPercentEscapesUsingEncoding("a" + kLoneHigh), QString("a%EF%BF%BD"));
}

void TestWebExtensions::replacePercentEscapes_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no escapes") << QString("a+b=c") << true << QString("a+b=c");
    QTest::newRow("plus stays plus") << QString("a+b%20c") << true << QString("a+b c");
    QTest::newRow("either hex case") << QString("%c3%A9%2f") << true << QStringLiteral(u"é/");
    QTest::newRow("zero byte") << QString("a%00b") << true << QString::fromLatin1("a\0b", 3);
    QTest::newRow("four-byte character") << QString("%F0%9F%98%80!") << true << kGrinning + "!";
    QTest::newRow("largest scalar")
        << QString("%F4%8F%BF%BF") << true << QString::fromUcs4(U"\U0010FFFF");
    QTest::newRow("lone surrogate passes") << "%41" + kLoneHigh << true << "A" + kLoneHigh;
    QTest::newRow("lone percent at end") << QString("abc%") << false << QString();
    QTest::newRow("one digit at end") << QString("abc%4") << false << QString();
    QTest::newRow("not hex") << QString("%zz") << false << QString();
    QTest::newRow("lone FF") << QString("%FF") << false << QString();
    QTest::newRow("lone continuation byte") << QString("%80") << false << QString();
    QTest::newRow("overlong slash") << QString("%C0%AF") << false << QString();
    QTest::newRow("overlong three-byte") << QString("%E0%80%AF") << false << QString();
    QTest::newRow("encoded surrogate") << QString("%ED%A0%80") << false << QString();
    QTest::newRow("above U+10FFFF") << QString("%F4%90%80%80") << false << QString();
    QTest::newRow("run cut by a plain char") << QString("%C3A9") << false << QString();
    QTest::newRow("run cut at end") << QString("%E2%82") << false << QString();
}

void TestWebExtensions::replacePercentEscapes() {
    QFETCH(QString, input);
    QFETCH(bool, ok);
    QFETCH(QString, expected);
    const std::optional<QString> result = stringByReplacingPercentEscapes(input);
    QCOMPARE(result.has_value(), ok);
    if (ok)
        QCOMPARE(*result, expected);
}

void TestWebExtensions::percentEscapesRoundTrip() {
    const QString s = asciiAndMore() + QStringLiteral(u"Ωж") + kGrinning;
    QCOMPARE(*stringByReplacingPercentEscapes(*stringByAddingPercentEscapes(s)), s);
    QCOMPARE(*stringByReplacingPercentEscapes(stringByAddingPercentEscapesUsingEncoding(s)), s);
}

QTEST_GUILESS_MAIN(TestWebExtensions)
#include "tst_webextensions.moc"
