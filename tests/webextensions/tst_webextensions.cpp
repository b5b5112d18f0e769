#include "WebExtensions.h"

#include <QCryptographicHash>
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
    void digestsMatchReference_data();
    void digestsMatchReference();
    void digestKnownVectors();
    void digestsOfStringWithoutUtf8Form();
    void escapeHTMLEntities_data();
    void escapeHTMLEntities();
    void unescapeHTMLEntities_data();
    void unescapeHTMLEntities();
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

void TestWebExtensions::digestsMatchReference_data() {
    QTest::addColumn<QString>("input");
    QTest::newRow("empty") << QString("");
    QTest::newRow("ascii") << QString("abc");
    QTest::newRow("non-ascii as UTF-8") << QStringLiteral(u"é€") + kGrinning;
    QTest::newRow("zero character inside") << QString::fromLatin1("ab\0cd", 5);
    QTest::newRow("zero character first") << QString::fromLatin1("\0xyz", 4);
    QTest::newRow("long") << QString(10000, QChar(u'ж'));
}

// MD5 covers the UTF-8 bytes before the first zero byte, SHA-1 all of them.
void TestWebExtensions::digestsMatchReference() {
    QFETCH(QString, input);
    const QByteArray utf8 = input.toUtf8();
    const QByteArray md5 = QCryptographicHash::hash(
        utf8.left(qstrnlen(utf8.constData(), utf8.size())), QCryptographicHash::Md5);
    const QByteArray sha1 = QCryptographicHash::hash(utf8, QCryptographicHash::Sha1);

    QCOMPARE(stringUsingMD5RawHash(input), QString::fromLatin1(md5));
    QCOMPARE(stringUsingMD5HexadecimalHash(input), QString::fromLatin1(md5.toHex()));
    QCOMPARE(stringUsingSHA1RawHash(input), QString::fromLatin1(sha1));
    QCOMPARE(stringUsingSHA1HexadecimalHash(input), QString::fromLatin1(sha1.toHex()));
}

void TestWebExtensions::digestKnownVectors() {
    // MD5 of nothing holds a zero byte (index 5) and high bytes: each is still one character.
    const QString raw = stringUsingMD5RawHash("");
    QCOMPARE(raw.size(), 16);
    QCOMPARE(raw.at(0).unicode(), 0xd4);
    QCOMPARE(raw.at(5).unicode(), 0x00);
    QCOMPARE(stringUsingMD5HexadecimalHash(""), QString("d41d8cd98f00b204e9800998ecf8427e"));
    QCOMPARE(stringUsingSHA1HexadecimalHash("abc"),
             QString("a9993e364706816aba3e25717850c26c9cd0d89d"));
    QCOMPARE(stringUsingMD5HexadecimalHash(QString::fromLatin1("abc\0def", 7)),
             QString("900150983cd24fb0d6963f7d28e17f72"));
    QVERIFY(stringUsingSHA1HexadecimalHash(QString::fromLatin1("abc\0def", 7)) !=
            stringUsingSHA1HexadecimalHash("abc"));
}

void TestWebExtensions::digestsOfStringWithoutUtf8Form() {
    for (const QString &s :
         {kLoneHigh, "abc" + kLoneLow, QString::fromLatin1("a\0", 2) + kLoneHigh}) {
        QVERIFY(stringUsingMD5RawHash(s).isEmpty());
        QVERIFY(stringUsingMD5HexadecimalHash(s).isEmpty());
        QVERIFY(stringUsingSHA1RawHash(s).isEmpty());
        QVERIFY(stringUsingSHA1HexadecimalHash(s).isEmpty());
    }
    // Not confused with the character that a lossy conversion would put in its place.
    QVERIFY(!stringUsingSHA1RawHash(QStringLiteral(u"\uFFFD")).isEmpty());
}

void TestWebExtensions::escapeHTMLEntities_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString("") << QString("");
    QTest::newRow("markup") << QString("<a href=\"x\">&</a>")
                            << QString("&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    QTest::newRow("printable ascii kept") << QString(" ~'!") << QString(" ~'!");
    QTest::newRow("controls") << QString::fromLatin1("\0\t\n\x1f\x7f", 5)
                              << QString("&#x0;&#x9;&#xa;&#x1f;&#x7f;");
    QTest::newRow("latin-1 and euro") << QStringLiteral(u"é€") << QString("&#xe9;&#x20ac;");
    QTest::newRow("surrogate pair per unit") << kGrinning << QString("&#xd83d;&#xde00;");
    QTest::newRow("lone surrogate") << "a" + kLoneLow << QString("a&#xde00;");
}

void TestWebExtensions::escapeHTMLEntities() {
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(stringByEscapingHTMLEntities(input), expected);
}

void TestWebExtensions::unescapeHTMLEntities_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString("") << QString("");
    QTest::newRow("the four") << QString("&lt;b&gt; &quot;x&quot; &amp; y")
                              << QString("<b> \"x\" & y");
    QTest::newRow("escaped entity unescapes twice") << QString("&amp;lt;") << QString("<");
    QTest::newRow("amp of amp once") << QString("&amp;amp;") << QString("&amp;");
    QTest::newRow("quot made by amp pass") << QString("&amp;quot;") << QString("\"");
    QTest::newRow("numeric references stay") << QString("&#x41;&#65;") << QString("&#x41;&#65;");
    QTest::newRow("other entities stay") << QString("&apos;&nbsp;") << QString("&apos;&nbsp;");
    QTest::newRow("upper case stays") << QString("&AMP;&Lt;") << QString("&AMP;&Lt;");
    QTest::newRow("unfinished") << QString("&amp&lt") << QString("&amp&lt");
    QTest::newRow("escaped non-ascii stays")
        << stringByEscapingHTMLEntities(QStringLiteral(u"é<")) << QString("&#xe9;<");
}

void TestWebExtensions::unescapeHTMLEntities() {
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(stringByUnescapingHTMLEntities(input), expected);
}

QTEST_GUILESS_MAIN(TestWebExtensions)
#include "tst_webextensions.moc"
