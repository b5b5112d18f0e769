#include "WebExtensions.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTest>

using namespace WebExtensions;
using MaybeString = std::optional<QString>;
Q_DECLARE_METATYPE(MaybeString)

namespace {

const QString kLoneHigh = QString(QChar(char16_t(0xD83D)));
const QString kLoneLow = QString(QChar(char16_t(0xDE00)));
const QString kGrinning = QString::fromUcs4(U"\U0001F600");
const MaybeString kNone = std::nullopt;

MaybeString some(const QString &s) {
    return s;
}

// Every ASCII character and a few beyond it, to compare whole character classes at once.
QString asciiAndMore() {
    QString s;
    for (char16_t c = 0; c < 128; ++c)
        s += QChar(c);
    return s + QStringLiteral(u"é€") + kGrinning;
}

QByteArray randomBytes(qsizetype n, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(n, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

} // namespace

class TestWebExtensions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addPercentEscapes_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<MaybeString>("expected");
        QTest::newRow("empty") << QString("") << some("");
        QTest::newRow("e-mail address")
            << QString("jo.doe@mail.example") << some("jo.doe@mail.example");
        QTest::newRow("password specials")
            << QString("a&b c%d#e+f=g") << some("a%26b%20c%25d%23e+f=g");
        QTest::newRow("controls") << QString::fromLatin1("\0\t\n\x7f", 4) << some("%00%09%0A%7F");
        QTest::newRow("latin letter as UTF-8") << QStringLiteral(u"é") << some("%C3%A9");
        QTest::newRow("surrogate pair is one character") << kGrinning << some("%F0%9F%98%80");
        QTest::newRow("lone high surrogate") << "a" + kLoneHigh + "b" << kNone;
        QTest::newRow("high surrogate at end") << "x" + kLoneHigh << kNone;
        QTest::newRow("pair halves swapped") << kLoneLow + kLoneHigh << kNone;
    }
    void addPercentEscapes() {
        QFETCH(QString, input);
        QFETCH(MaybeString, expected);
        QCOMPARE(stringByAddingPercentEscapes(input), expected);
    }

    // Both escapers against Qt's percent encoding, which keeps the unreserved characters and
    // those named, in upper-case hex.
    void percentEscapesMatchReference() {
        const QString s = asciiAndMore();
        QCOMPARE(stringByAddingPercentEscapes(s),
                 some(QString::fromLatin1(s.toUtf8().toPercentEncoding("!*'();/?:@=+$,"))));
        QCOMPARE(stringByAddingPercentEscapesUsingEncoding(s),
                 QString::fromLatin1(s.toUtf8().toPercentEncoding("!$&'()*+,/:;=?@")));
        QCOMPARE(stringByAddingPercentEscapesUsingEncoding("[Velkaron] Sugerencias"),
                 QString("%5BVelkaron%5D%20Sugerencias"));
        QCOMPARE(stringByAddingPercentEscapesUsingEncoding("Name: \ne-mail: \nSugerencias:\n"),
                 QString("Name:%20%0Ae-mail:%20%0ASugerencias:%0A"));
        QCOMPARE(stringByAddingPercentEscapesUsingEncoding("a" + kLoneHigh), QString("a%EF%BF%BD"));

        const QString all = s + QStringLiteral(u"Ωж");
        QCOMPARE(stringByReplacingPercentEscapes(*stringByAddingPercentEscapes(all)), some(all));
        QCOMPARE(stringByReplacingPercentEscapes(stringByAddingPercentEscapesUsingEncoding(all)),
                 some(all));
    }

    void replacePercentEscapes_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<MaybeString>("expected");
        QTest::newRow("plus stays plus") << QString("a+b%20c") << some("a+b c");
        QTest::newRow("either hex case") << QString("%c3%A9%2f") << some(QStringLiteral(u"é/"));
        QTest::newRow("zero byte") << QString("a%00b") << some(QString::fromLatin1("a\0b", 3));
        QTest::newRow("largest scalar")
            << QString("%F4%8F%BF%BF") << some(QString::fromUcs4(U"\U0010FFFF"));
        QTest::newRow("lone surrogate passes") << "%41" + kLoneHigh << some("A" + kLoneHigh);
        QTest::newRow("lone percent at end") << QString("abc%") << kNone;
        QTest::newRow("one digit at end") << QString("abc%4") << kNone;
        QTest::newRow("not hex") << QString("%zz") << kNone;
        QTest::newRow("lone FF") << QString("%FF") << kNone;
        QTest::newRow("lone continuation byte") << QString("%80") << kNone;
        QTest::newRow("overlong slash") << QString("%C0%AF") << kNone;
        QTest::newRow("overlong three-byte") << QString("%E0%80%AF") << kNone;
        QTest::newRow("encoded surrogate") << QString("%ED%A0%80") << kNone;
        QTest::newRow("above U+10FFFF") << QString("%F4%90%80%80") << kNone;
        QTest::newRow("run cut by a plain char") << QString("%C3A9") << kNone;
        QTest::newRow("run cut at end") << QString("%E2%82") << kNone;
    }
    void replacePercentEscapes() {
        QFETCH(QString, input);
        QFETCH(MaybeString, expected);
        QCOMPARE(stringByReplacingPercentEscapes(input), expected);
    }

    void digests_data() {
        QTest::addColumn<QString>("input");
        QTest::newRow("empty") << QString("");
        QTest::newRow("non-ascii as UTF-8") << QStringLiteral(u"é€") + kGrinning;
        QTest::newRow("zero character inside") << QString::fromLatin1("abc\0def", 7);
        QTest::newRow("zero character first") << QString::fromLatin1("\0xyz", 4);
        QTest::newRow("long") << QString(10000, QChar(u'ж'));
        // The text is converted a buffer at a time: characters of every length fall across the
        // buffers' ends, and a zero character lies far past the first one.
        QTest::newRow("characters across buffer ends")
            << (QStringLiteral(u"aé€") + kGrinning).repeated(40000);
        QTest::newRow("zero character past the first buffer")
            << QString(100000, QChar(u'é')) + QChar(u'\0') + QStringLiteral("rest");
    }
    // MD5 covers the UTF-8 bytes before the first zero byte, SHA-1 all of them.
    void digests() {
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

    void digestKnownValues() {
        // MD5 of nothing holds a zero byte (index 5) and high bytes: one character each.
        const QString raw = stringUsingMD5RawHash("");
        QCOMPARE(raw.size(), 16);
        QCOMPARE(raw.at(0).unicode(), 0xd4);
        QCOMPARE(raw.at(5).unicode(), 0x00);
        QCOMPARE(stringUsingMD5HexadecimalHash(""), QString("d41d8cd98f00b204e9800998ecf8427e"));
        QCOMPARE(stringUsingSHA1HexadecimalHash("abc"),
                 QString("a9993e364706816aba3e25717850c26c9cd0d89d"));

        // No UTF-8 form: no digest, and not the digest of a lossy stand-in.
        // A lone half far into the text, or after the zero that ends what MD5 reads, all the same.
        for (const QString &s :
             {kLoneHigh, "abc" + kLoneLow, QString(QChar()) + kLoneHigh,
              QString(100000, QChar(u'a')) + kLoneHigh + QStringLiteral("b"),
              "abc" + QString(QChar()) + QString(100000, QChar(u'b')) + kLoneLow}) {
            QVERIFY(stringUsingMD5RawHash(s).isEmpty());
            QVERIFY(stringUsingMD5HexadecimalHash(s).isEmpty());
            QVERIFY(stringUsingSHA1RawHash(s).isEmpty());
            QVERIFY(stringUsingSHA1HexadecimalHash(s).isEmpty());
        }
    }

    void escapeHTMLEntities_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("markup") << QString("<a href=\"x\">'&'</a>")
                                << QString("&lt;a href=&quot;x&quot;&gt;'&amp;'&lt;/a&gt;");
        QTest::newRow("controls") << QString::fromLatin1("\0\t\n\x1f\x7f", 5)
                                  << QString("&#x0;&#x9;&#xa;&#x1f;&#x7f;");
        QTest::newRow("latin-1 and euro") << QStringLiteral(u"é€") << QString("&#xe9;&#x20ac;");
        QTest::newRow("surrogate pair per unit") << kGrinning << QString("&#xd83d;&#xde00;");
        QTest::newRow("lone surrogate") << "a" + kLoneLow << QString("a&#xde00;");
    }
    void escapeHTMLEntities() {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(stringByEscapingHTMLEntities(input), expected);
    }

    void unescapeHTMLEntities_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("the four") << QString("&lt;b&gt; &quot;x&quot; &amp; y")
                                  << QString("<b> \"x\" & y");
        QTest::newRow("escaped entity unescapes twice") << QString("&amp;lt;") << QString("<");
        QTest::newRow("amp of amp once") << QString("&amp;amp;") << QString("&amp;");
        QTest::newRow("numeric references stay")
            << QString("&#x41;&#65;") << QString("&#x41;&#65;");
        QTest::newRow("other entities stay") << QString("&apos;&nbsp;") << QString("&apos;&nbsp;");
        QTest::newRow("upper case stays") << QString("&AMP;&Lt;") << QString("&AMP;&Lt;");
        QTest::newRow("unfinished") << QString("&amp&lt") << QString("&amp&lt");
    }
    void unescapeHTMLEntities() {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(stringByUnescapingHTMLEntities(input), expected);
    }

    // Both encoders against Qt's Base64, wrapped at the width each line length gives, and the
    // decoder back.
    void base64_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("lineLength");
        QTest::addColumn<int>("width"); // characters per line, 0 for one line
        for (const int n : {0, 1, 2, 3, 4, 5, 1000})
            QTest::addRow("%d bytes", n) << n << 0 << 0;
        QTest::newRow("57 bytes at 76 end with a break") << 57 << 76 << 76;
        QTest::newRow("58 bytes at 76") << 58 << 76 << 76;
        QTest::newRow("10 rounds up to 12") << 30 << 10 << 12;
        QTest::newRow("1 breaks every group") << 7 << 1 << 4;
        QTest::newRow("negative") << 100 << -1 << 0;
        QTest::newRow("empty input has no break") << 0 << 4 << 4;
        QTest::newRow("32764 still breaks") << 30000 << 32764 << 32764;
        QTest::newRow("32765 wraps the 16-bit count") << 30000 << 32765 << 0;
    }
    void base64() {
        QFETCH(int, size);
        QFETCH(int, lineLength);
        QFETCH(int, width);
        const QByteArray data = randomBytes(size, quint32(size));
        const QString flat = QString::fromLatin1(data.toBase64());
        QString expected;
        for (qsizetype i = 0; i < flat.size(); i += width ? width : flat.size()) {
            expected += flat.mid(i, width ? width : flat.size());
            if (width && i + width <= flat.size())
                expected += u'\n';
        }
        QCOMPARE(stringUsingBase64EncodingWithLineLength(data, lineLength), expected);
        // A string of units 0..255 encodes like the same bytes.
        QCOMPARE(stringUsingBase64EncodingWithLineLength(QString::fromLatin1(data), lineLength),
                 expected);
        if (lineLength == 0) {
            QCOMPARE(stringUsingBase64Encoding(data), expected);
            QCOMPARE(stringUsingBase64Encoding(QString::fromLatin1(data)), expected);
        }
        QCOMPARE(dataUsingBase64Decoding(expected), data);
    }

    void base64StringEncoderTakesLowBytes() {
        QCOMPARE(stringUsingBase64Encoding(QStringLiteral(u"é")), QString("6Q=="));
        QCOMPARE(stringUsingBase64Encoding(QStringLiteral(u"€")), QString("rA=="));
        QCOMPARE(stringUsingBase64Encoding(kGrinning), QString("PQA="));
        QCOMPARE(stringUsingBase64Decoding("6Q=="), kNone);
        QCOMPARE(stringUsingBase64Decoding("w6nigqw="), some(QStringLiteral(u"é€")));
        QCOMPARE(stringUsingBase64Decoding(""), some(""));
    }

    void base64Decoding_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("two pads") << QString("QQ==") << QByteArray("A");
        QTest::newRow("one pad") << QString("QUI=") << QByteArray("AB");
        QTest::newRow("unpadded one byte dropped") << QString("QQ") << QByteArray();
        QTest::newRow("unpadded two bytes dropped") << QString("QUI") << QByteArray();
        QTest::newRow("leading pad") << QString("=QUJD") << QByteArray();
        QTest::newRow("text after pad ignored") << QString("QUJD=QUJD") << QByteArray("ABC");
        QTest::newRow("whitespace skipped") << QString(" QU\r\nJ\tD ") << QByteArray("ABC");
        QTest::newRow("url-safe chars skipped") << QString("Q-U_JD") << QByteArray("ABC");
        QTest::newRow("low byte of unit")
            << QStringLiteral(u"\u0141\u0141\u0141\u0141") << QByteArray(3, '\0');
        QTest::newRow("lone value before pad has zero low bits")
            << QString("Q=") << QByteArray("@");
        QTest::newRow("lone value after full group") << QString("QUJDR===") << QByteArray("ABCD");
    }
    void base64Decoding() {
        QFETCH(QString, input);
        QFETCH(QByteArray, expected);
        QCOMPARE(dataUsingBase64Decoding(input), expected);
    }

    void stringFromEncoding_data() {
        QTest::addColumn<quint32>("encoding");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<MaybeString>("expected");
        const MaybeString latin = QStringLiteral(u"A\u0000\u0080\u00ff");
        QTest::newRow("ascii keeps high bytes") << 1u << QByteArray("A\0\x80\xff", 4) << latin;
        QTest::newRow("latin-1") << 5u << QByteArray("A\0\x80\xff", 4) << latin;
        QTest::newRow("utf-8") << 4u << QByteArray("\xc3\xa9\xf0\x9f\x98\x80")
                               << some(QStringLiteral(u"é") + kGrinning);
        QTest::newRow("utf-8 mark kept") << 4u
                                         << QByteArray("\xef\xbb\xbf"
                                                       "A")
                                         << some(QStringLiteral(u"\ufeffA"));
        QTest::newRow("utf-8 latin byte") << 4u << QByteArray("\xe9") << kNone;
        QTest::newRow("utf-8 overlong") << 4u << QByteArray("\xc0\x80") << kNone;
        QTest::newRow("utf-8 surrogate") << 4u << QByteArray("\xed\xb8\x80") << kNone;
        QTest::newRow("utf-8 truncated") << 4u << QByteArray("a\xe2\x82") << kNone;
        QTest::newRow("utf-16 mark big-endian")
            << 10u << QByteArray("\xfe\xff\0A\x20\xac", 6) << some(QStringLiteral(u"A€"));
        QTest::newRow("utf-16 mark little-endian") << 10u
                                                   << QByteArray("\xff\xfe"
                                                                 "A\0\xac\x20",
                                                                 6)
                                                   << some(QStringLiteral(u"A€"));
        QTest::newRow("utf-16 unmarked is big-endian") << 10u << QByteArray("\0A", 2) << some("A");
        QTest::newRow("utf-16 odd length") << 10u << QByteArray("\0A\0", 3) << kNone;
        QTest::newRow("utf-16 lone surrogate") << 10u << QByteArray("\xd8\x3d\0A", 4) << kNone;
        QTest::newRow("utf-16le") << 0x94000100u << QByteArray("A\0", 2) << some("A");
        QTest::newRow("unknown encoding") << 12345u << QByteArray("A") << kNone;
    }
    void stringFromEncoding() {
        QFETCH(quint32, encoding);
        QFETCH(QByteArray, data);
        QFETCH(MaybeString, expected);
        QCOMPARE(stringUsingEncoding(data, encoding), expected);
    }

    // Random units, unpaired surrogates among them, through every function: no crash, and the
    // Base64 decoder stays within the output it sized.
    void arbitraryInputNeverCrashes() {
        QRandomGenerator random(2024);
        for (int round = 0; round < 300; ++round) {
            QString s(random.bounded(64), Qt::Uninitialized);
            for (QChar &c : s)
                c = QChar(char16_t(random.bounded(0x10000)));
            QVERIFY(dataUsingBase64Decoding(s).size() <= s.size() / 4 * 3 + 2);
            stringUsingBase64Decoding(s);
            stringByAddingPercentEscapes(s);
            stringByAddingPercentEscapesUsingEncoding(s);
            stringByReplacingPercentEscapes("%" + s);
            stringUsingMD5HexadecimalHash(s);
            stringUsingSHA1HexadecimalHash(s);
            stringByUnescapingHTMLEntities(stringByEscapingHTMLEntities(s));
            const QByteArray bytes = randomBytes(random.bounded(64), random.generate());
            for (const quint32 encoding : {1u, 4u, 5u, 10u, 0x90000100u, 0x94000100u})
                stringUsingEncoding(bytes, encoding);
        }
    }
};

QTEST_GUILESS_MAIN(TestWebExtensions)
#include "tst_webextensions.moc"
