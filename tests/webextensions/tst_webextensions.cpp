#include "WebExtensions.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTest>

// Arbitrary input through the percent, HTML and Base64 readers is the fuzz targets' ground;
// these rows pin down the values.

using namespace WebExtensions;
using namespace Qt::StringLiterals;
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

} // namespace

class TestWebExtensions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void percentEscapes_data() {
        QTest::addColumn<bool>("decode");
        QTest::addColumn<QString>("input");
        QTest::addColumn<MaybeString>("expected");
        QTest::newRow("lone high surrogate") << false << "a" + kLoneHigh + "b" << kNone;
        QTest::newRow("high surrogate at end") << false << "x" + kLoneHigh << kNone;
        QTest::newRow("pair halves swapped") << false << kLoneLow + kLoneHigh << kNone;
        QTest::newRow("either hex case") << true << u"%c3%A9%2f"_s << some(u"é/"_s);
        QTest::newRow("largest scalar")
            << true << u"%F4%8F%BF%BF"_s << some(QString::fromUcs4(U"\U0010FFFF"));
        QTest::newRow("lone surrogate passes")
            << true << "%41" + kLoneHigh << some("A" + kLoneHigh);
        QTest::newRow("lone percent at end") << true << u"abc%"_s << kNone;
        QTest::newRow("one digit at end") << true << u"abc%4"_s << kNone;
        // A text that is a view into a longer one: what follows it is not part of it.
        QTest::newRow("one digit at end of a view")
            << true << QString::fromRawData(reinterpret_cast<const QChar *>(u"%4F"), 2) << kNone;
        QTest::newRow("not hex") << true << u"%zz"_s << kNone;
        QTest::newRow("lone FF") << true << u"%FF"_s << kNone;
        QTest::newRow("lone continuation byte") << true << u"%80"_s << kNone;
        QTest::newRow("overlong slash") << true << u"%C0%AF"_s << kNone;
        QTest::newRow("overlong three-byte") << true << u"%E0%80%AF"_s << kNone;
        QTest::newRow("encoded surrogate") << true << u"%ED%A0%80"_s << kNone;
        QTest::newRow("above U+10FFFF") << true << u"%F4%90%80%80"_s << kNone;
        QTest::newRow("run cut by a plain char") << true << u"%C3A%A9"_s << kNone;
        QTest::newRow("run cut at end") << true << u"%E2%82"_s << kNone;
    }
    void percentEscapes() {
        QFETCH(bool, decode);
        QFETCH(QString, input);
        QFETCH(MaybeString, expected);
        QCOMPARE(decode ? stringByReplacingPercentEscapes(input)
                        : stringByAddingPercentEscapes(input),
                 expected);
    }

    // Both escapers against Qt's percent encoding, which keeps the unreserved characters and
    // those named, in upper-case hex, over every ASCII character and UTF-8 of every length; and
    // back, so "+" stays "+" and "%00" is a zero character.
    void percentEscapesMatchReference() {
        QString s;
        for (char16_t c = 0; c < 128; ++c)
            s += QChar(c);
        s += u"éΩж€"_s + kGrinning;
        QCOMPARE(stringByAddingPercentEscapes(s),
                 some(QString::fromLatin1(s.toUtf8().toPercentEncoding("!*'();/?:@=+$,"))));
        QCOMPARE(stringByAddingPercentEscapesUsingEncoding(s),
                 QString::fromLatin1(s.toUtf8().toPercentEncoding("!$&'()*+,/:;=?@")));
        QCOMPARE(stringByAddingPercentEscapesUsingEncoding("a" + kLoneHigh), u"a%EF%BF%BD"_s);
        QCOMPARE(stringByReplacingPercentEscapes(*stringByAddingPercentEscapes(s)), some(s));
        QCOMPARE(stringByReplacingPercentEscapes(stringByAddingPercentEscapesUsingEncoding(s)),
                 some(s));
    }

    void digests_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("hasUtf8");
        QTest::newRow("empty") << u""_s << true;
        QTest::newRow("non-ascii as UTF-8") << u"é€"_s + kGrinning << true;
        QTest::newRow("zero character inside") << QString::fromLatin1("abc\0def", 7) << true;
        QTest::newRow("zero character first") << QString::fromLatin1("\0xyz", 4) << true;
        // The text is converted a buffer at a time, and mostly Latin text 16 or 8 units at a
        // time: characters of every length fall across the buffers' and the groups' ends, and
        // a zero character lies far past the first one.
        QString mixed;
        for (quint32 i = 0, r = 1; i < 200000; ++i, r = r * 1103515245u + 12345u) {
            const unsigned pick = r >> 16 & 63;
            mixed += pick < 40 ? u"a"_s : pick < 60 ? u"é"_s : pick < 62 ? u"€"_s : kGrinning;
        }
        QTest::newRow("characters across buffer and group ends") << mixed << true;
        QTest::newRow("zero character past the first buffer")
            << QString(100000, QChar(u'é')) + QChar(u'\0') + QStringLiteral("rest") << true;
        // No UTF-8 form: no digest, and not the digest of a lossy stand-in, wherever the lone
        // half lies (after the zero that ends what MD5 reads included).
        QTest::newRow("lone high") << kLoneHigh << false;
        QTest::newRow("lone low after text") << "abc" + kLoneLow << false;
        QTest::newRow("lone half after a zero") << QString(QChar()) + kLoneHigh << false;
        QTest::newRow("high before a letter, far in")
            << QString(100000, QChar(u'a')) + kLoneHigh + QStringLiteral("b") << false;
        QTest::newRow("lone half far past a zero")
            << "abc" + QString(QChar()) + QString(100000, QChar(u'b')) + kLoneLow << false;
    }
    // MD5 covers the UTF-8 bytes before the first zero byte, SHA-1 all of them; the raw forms
    // are one character per byte, zero bytes included.
    void digests() {
        QFETCH(QString, input);
        QFETCH(bool, hasUtf8);
        const QByteArray utf8 = hasUtf8 ? input.toUtf8() : QByteArray();
        const QByteArray md5 = QCryptographicHash::hash(
            utf8.left(qstrnlen(utf8.constData(), utf8.size())), QCryptographicHash::Md5);
        const QByteArray sha1 = QCryptographicHash::hash(utf8, QCryptographicHash::Sha1);
        const auto or_empty = [hasUtf8](const QByteArray &b) {
            return hasUtf8 ? QString::fromLatin1(b) : QString();
        };
        QCOMPARE(stringUsingMD5RawHash(input), or_empty(md5));
        QCOMPARE(stringUsingMD5HexadecimalHash(input), or_empty(md5.toHex()));
        QCOMPARE(stringUsingSHA1RawHash(input), or_empty(sha1));
        QCOMPARE(stringUsingSHA1HexadecimalHash(input), or_empty(sha1.toHex()));
    }

    void htmlEntities_data() {
        QTest::addColumn<bool>("unescape");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("markup") << false << u"<a href=\"x\">'&'</a>"_s
                                << u"&lt;a href=&quot;x&quot;&gt;'&amp;'&lt;/a&gt;"_s;
        QTest::newRow("controls") << false << QString::fromLatin1("\0\t\n\x1f\x7f", 5)
                                  << u"&#x0;&#x9;&#xa;&#x1f;&#x7f;"_s;
        QTest::newRow("latin-1 and euro") << false << u"é€"_s << u"&#xe9;&#x20ac;"_s;
        QTest::newRow("surrogate pair per unit") << false << kGrinning << u"&#xd83d;&#xde00;"_s;
        QTest::newRow("lone surrogate") << false << "a" + kLoneLow << u"a&#xde00;"_s;
        QTest::newRow("the four") << true << u"&lt;b&gt; &quot;x&quot; &amp; y"_s
                                  << u"<b> \"x\" & y"_s;
        QTest::newRow("escaped entity unescapes twice") << true << u"&amp;lt;"_s << u"<"_s;
        QTest::newRow("amp of amp once") << true << u"&amp;amp;"_s << u"&amp;"_s;
        // Numeric references, other entities, upper case and unfinished ones stay as they are.
        QTest::newRow("others stay") << true << u"&#x41;&#65;&apos;&nbsp;&AMP;&Lt;&amp&lt"_s
                                     << u"&#x41;&#65;&apos;&nbsp;&AMP;&Lt;&amp&lt"_s;
    }
    void htmlEntities() {
        QFETCH(bool, unescape);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(unescape ? stringByUnescapingHTMLEntities(input)
                          : stringByEscapingHTMLEntities(input),
                 expected);
    }

    // Both encoders against Qt's Base64, wrapped at the width each line length gives, and the
    // decoder back.
    void base64_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("lineLength");
        QTest::addColumn<int>("width"); // characters per line, 0 for one line
        for (const int n : {0, 1, 2, 3, 1000})
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
        QRandomGenerator random{quint32(size)};
        QByteArray data(size, Qt::Uninitialized);
        for (char &b : data)
            b = char(random.bounded(256));
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

    // The string encoder takes each unit's low byte; the string decoder wants UTF-8.
    void base64Strings() {
        QCOMPARE(stringUsingBase64Encoding(u"é"_s), u"6Q=="_s);
        QCOMPARE(stringUsingBase64Encoding(u"€"_s), u"rA=="_s);
        QCOMPARE(stringUsingBase64Encoding(kGrinning), u"PQA="_s);
        QCOMPARE(stringUsingBase64Decoding("6Q=="), kNone);
        QCOMPARE(stringUsingBase64Decoding("w6nigqw="), some(u"é€"_s));
        QCOMPARE(stringUsingBase64Decoding(""), some(""));
    }

    void base64Decoding_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("two pads") << u"QQ=="_s << QByteArray("A");
        QTest::newRow("one pad") << u"QUI="_s << QByteArray("AB");
        QTest::newRow("unpadded one byte dropped") << u"QQ"_s << QByteArray();
        QTest::newRow("unpadded two bytes dropped") << u"QUI"_s << QByteArray();
        QTest::newRow("leading pad") << u"=QUJD"_s << QByteArray();
        QTest::newRow("text after pad ignored") << u"QUJD=QUJD"_s << QByteArray("ABC");
        QTest::newRow("whitespace skipped") << u" QU\r\nJ\tD "_s << QByteArray("ABC");
        QTest::newRow("url-safe chars skipped") << u"Q-U_JD"_s << QByteArray("ABC");
        QTest::newRow("low byte of unit") << u"\u0141\u0141\u0141\u0141"_s << QByteArray(3, '\0');
        QTest::newRow("lone value before pad has zero low bits") << u"Q="_s << QByteArray("@");
        QTest::newRow("lone value after full group") << u"QUJDR==="_s << QByteArray("ABCD");
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
        QTest::newRow("ascii keeps high bytes")
            << 1u << QByteArray("A\0\x80\xff", 4) << some(u"A\u0000\u0080\u00ff"_s);
        QTest::newRow("utf-8") << 4u << QByteArray("\xc3\xa9\xf0\x9f\x98\x80")
                               << some(u"é"_s + kGrinning);
        QTest::newRow("utf-8 truncated") << 4u << QByteArray("a\xe2\x82") << kNone;
        QTest::newRow("utf-16 mark little-endian")
            << 10u << QByteArray("\xff\xfe\x41\0\xac\x20", 6) << some(u"A€"_s);
        QTest::newRow("utf-16 unmarked is big-endian") << 10u << QByteArray("\0A", 2) << some("A");
        QTest::newRow("utf-16 odd length") << 10u << QByteArray("\0A\0", 3) << kNone;
        QTest::newRow("utf-16le") << 0x94000100u << QByteArray("A\0", 2) << some("A");
        QTest::newRow("unknown encoding") << 12345u << QByteArray("A") << kNone;
    }
    void stringFromEncoding() {
        QFETCH(quint32, encoding);
        QFETCH(QByteArray, data);
        QFETCH(MaybeString, expected);
        QCOMPARE(stringUsingEncoding(data, encoding), expected);
    }
};

QTEST_GUILESS_MAIN(TestWebExtensions)
#include "tst_webextensions.moc"
