#include "WebExtensions.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>

namespace WebExtensions {

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char32_t kReplacementCharacter = 0xFFFD;

// QString::utf16() still answers ushort in Qt 6.4.
const char16_t *units(const QString &s) {
    return reinterpret_cast<const char16_t *>(s.constData());
}

// What to do with a unit that is half of a surrogate pair without its other half.
enum class LoneSurrogate { Fail, Replace };

// Walks the code points of s, handing each to f. Returns false, without calling f again, when
// a lone surrogate turns up under LoneSurrogate::Fail.
template <typename F> bool forEachCodePoint(const QString &s, LoneSurrogate policy, F &&f) {
    const char16_t *in = units(s);
    const qsizetype n = s.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = in[i];
        if (QChar::isSurrogate(c)) {
            if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(in[i + 1])) {
                c = QChar::surrogateToUcs4(in[i], in[i + 1]);
                ++i;
            } else if (policy == LoneSurrogate::Fail) {
                return false;
            } else {
                c = kReplacementCharacter;
            }
        }
        f(c);
    }
    return true;
}

int utf8Length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of c (a scalar value) into out and returns its length.
int encodeUtf8(char32_t c, unsigned char *out) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

void writeUtf16(char32_t c, QChar *&w) {
    if (QChar::requiresSurrogates(c)) {
        *w++ = QChar(QChar::highSurrogate(c));
        *w++ = QChar(QChar::lowSurrogate(c));
    } else {
        *w++ = QChar(static_cast<char16_t>(c));
    }
}

// Strict UTF-8, fed a byte at a time so that a run of escapes can be decoded as it is read.
// Rejects overlong forms, encoded surrogates and values above U+10FFFF (the second-byte ranges
// of the well-formed byte sequences table).
class Utf8Decoder {
public:
    bool pending() const { return m_need > 0; }

    // Appends a completed character to w; false when b cannot continue well-formed UTF-8.
    bool feed(unsigned char b, QChar *&w) {
        if (m_need == 0) {
            if (b < 0x80) {
                *w++ = QChar(char16_t(b));
                return true;
            }
            if (b < 0xC2 || b > 0xF4)
                return false;
            if (b < 0xE0) {
                m_need = 1;
                m_value = b & 0x1F;
            } else if (b < 0xF0) {
                m_need = 2;
                m_value = b & 0x0F;
                m_low = b == 0xE0 ? 0xA0 : 0x80;
                m_high = b == 0xED ? 0x9F : 0xBF;
            } else {
                m_need = 3;
                m_value = b & 0x07;
                m_low = b == 0xF0 ? 0x90 : 0x80;
                m_high = b == 0xF4 ? 0x8F : 0xBF;
            }
            return true;
        }
        if (b < m_low || b > m_high)
            return false;
        m_low = 0x80;
        m_high = 0xBF;
        m_value = (m_value << 6) | (b & 0x3F);
        if (--m_need == 0)
            writeUtf16(m_value, w);
        return true;
    }

private:
    char32_t m_value = 0;
    int m_need = 0;
    unsigned char m_low = 0x80;
    unsigned char m_high = 0xBF;
};

int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

using AsciiSet = std::array<bool, 128>;

constexpr AsciiSet alphanumericsAnd(std::string_view extra) {
    AsciiSet set{};
    for (char c = '0'; c <= '9'; ++c)
        set[static_cast<unsigned char>(c)] = true;
    for (char c = 'A'; c <= 'Z'; ++c)
        set[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'z'; ++c)
        set[static_cast<unsigned char>(c)] = true;
    for (char c : extra)
        set[static_cast<unsigned char>(c)] = true;
    return set;
}

// Legal URL characters that a form value may carry as they are; "&" would end the value.
constexpr AsciiSet kFormValueKept = alphanumericsAnd("-_.!~*'();/?:@=+$,");
// What a mail program leaves alone in the subject and body of a mailto URL.
constexpr AsciiSet kMailtoKept = alphanumericsAnd("!$&'()*+,-./:;=?@_~");

std::optional<QString> percentEscape(const QString &s, const AsciiSet &kept, LoneSurrogate policy) {
    const auto isKept = [&kept](char32_t c) {
        return c < 0x80 && kept[c];
    };

    // First pass sizes the result exactly, so the second writes without reallocating.
    qsizetype length = 0;
    if (!forEachCodePoint(s, policy,
                          [&](char32_t c) { length += isKept(c) ? 1 : 3 * utf8Length(c); })) {
        return std::nullopt;
    }
    if (length == s.size()) // every unit was kept
        return s;

    QString out(length, Qt::Uninitialized);
    QChar *w = out.data();
    forEachCodePoint(s, policy, [&](char32_t c) {
        if (isKept(c)) {
            *w++ = QChar(static_cast<char16_t>(c));
            return;
        }
        unsigned char bytes[4];
        const int count = encodeUtf8(c, bytes);
        for (int k = 0; k < count; ++k) {
            *w++ = QChar(u'%');
            *w++ = QChar(char16_t(kUpperHex[bytes[k] >> 4]));
            *w++ = QChar(char16_t(kUpperHex[bytes[k] & 0x0F]));
        }
    });
    return out;
}

bool hasUtf8Form(const QString &s) {
    return forEachCodePoint(s, LoneSurrogate::Fail, [](char32_t) {});
}

// Hands the UTF-8 form of units [0, n) to consume(bytes, size), a buffer at a time: a long text
// is never held twice, and the digest reads bytes that are still in the cache. This one pass
// also finds a lone surrogate, and answers false then (after handing over a part).
template <typename Consume>
bool forEachUtf8Chunk(const char16_t *in, qsizetype n, Consume &&consume) {
    constexpr qsizetype kChunk = qsizetype(1) << 16;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
    unsigned char *const begin = buffer.get();
    const char16_t *p = in;
    const char16_t *const end = in + n;
    while (p < end) {
        unsigned char *w = begin;
        unsigned char *const limit = begin + kChunk - 4; // room for one more character
        // The plain branches are the fastest form measured: text runs mostly one way, so they
        // predict well; four units at a time or branch-free forms came out slower.
        while (p < end && w <= limit) {
            const char16_t c = *p;
            if (c < 0x80) {
                *w++ = static_cast<unsigned char>(c);
                ++p;
            } else if (c < 0x800) {
                w[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
                w[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                w += 2;
                ++p;
            } else if (!QChar::isSurrogate(c)) {
                w += encodeUtf8(c, w);
                ++p;
            } else if (QChar::isHighSurrogate(c) && end - p > 1 && QChar::isLowSurrogate(p[1])) {
                w += encodeUtf8(QChar::surrogateToUcs4(p[0], p[1]), w);
                p += 2;
            } else {
                return false;
            }
        }
        consume(begin, std::size_t(w - begin));
    }
    return true;
}

// One character per digest byte, code = byte value. Empty (null) when there is no digest: the
// receiver has no UTF-8 form, or the library does not offer the algorithm (a FIPS-only setup
// refuses MD5). A real digest is never empty, so callers can tell the two apart.
QString rawDigest(const QString &s, const char *name, bool stopAtZeroByte) {
    // U+0000 is the only character whose UTF-8 form holds a zero byte. What follows it is not
    // digested, but it must have a UTF-8 form all the same.
    const qsizetype length = stopAtZeroByte ? QStringView(s).indexOf(QChar(u'\0')) : qsizetype(-1);
    const qsizetype digested = length < 0 ? s.size() : length;
    if (!forEachUtf8Chunk(units(s) + digested, s.size() - digested,
                          [](const unsigned char *, std::size_t) {}))
        return QString();

    // OpenSSL 1.1 and later load their digest table by themselves, so no registration call.
    const EVP_MD *md = EVP_get_digestbyname(name);
    if (!md)
        return QString();
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
        return QString();
    bool updated = true;
    const bool wellFormed =
        forEachUtf8Chunk(units(s), digested, [&](const unsigned char *bytes, std::size_t size) {
            updated = updated && EVP_DigestUpdate(context.get(), bytes, size) == 1;
        });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!wellFormed || !updated || EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1)
        return QString();
    return QString::fromLatin1(reinterpret_cast<const char *>(digest), qsizetype(digestLength));
}

QString lowercaseHex(const QString &raw) {
    static constexpr char kLowerHex[] = "0123456789abcdef";
    QString out(2 * raw.size(), Qt::Uninitialized);
    QChar *w = out.data();
    for (const QChar c : raw) {
        const char16_t byte = c.unicode() & 0xFF; // raw digests hold only codes below 0x100
        *w++ = QChar(char16_t(kLowerHex[byte >> 4]));
        *w++ = QChar(char16_t(kLowerHex[byte & 0x0F]));
    }
    return out;
}

int hexDigitCount(char16_t c) {
    return c < 0x10 ? 1 : c < 0x100 ? 2 : c < 0x1000 ? 3 : 4;
}

// Replaces each occurrence of pattern by one unit, left to right, without overlaps. The text only
// shrinks, so it is rewritten where it lies.
void replaceEntity(QString &text, std::u16string_view pattern, char16_t replacement) {
    const qsizetype n = text.size();
    const qsizetype m = qsizetype(pattern.size());
    QChar *d = text.data();
    qsizetype w = 0;
    for (qsizetype r = 0; r < n;) {
        if (d[r].unicode() == pattern[0] && n - r >= m &&
            std::equal(pattern.begin(), pattern.end(), d + r,
                       [](char16_t p, QChar c) { return p == c.unicode(); })) {
            d[w++] = QChar(replacement);
            r += m;
        } else {
            d[w++] = d[r++];
        }
    }
    text.truncate(w);
}

// The standard Base64 alphabet; its index is the 6-bit value.
constexpr char gEncodingTable[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr signed char kSkip = -1;
constexpr signed char kPad = -2;

constexpr std::array<signed char, 256> makeDecodingTable() {
    std::array<signed char, 256> table{};
    table.fill(kSkip);
    for (int v = 0; v < 64; ++v)
        table[static_cast<unsigned char>(gEncodingTable[v])] = static_cast<signed char>(v);
    table['='] = kPad;
    return table;
}
constexpr std::array<signed char, 256> kDecodingTable = makeDecodingTable();

// The two characters of every 12-bit value, so a group of three bytes takes two look-ups.
constexpr auto kEncodingPairs = [] {
    std::array<std::array<char16_t, 2>, 4096> pairs{};
    for (int v = 0; v < 4096; ++v)
        pairs[size_t(v)] = {char16_t(gEncodingTable[v >> 6]), char16_t(gEncodingTable[v & 0x3F])};
    return pairs;
}();

// One line: whole groups through the pair table, then the last group with its padding.
template <typename ByteAt> void base64EncodeLine(qsizetype n, ByteAt byteAt, char16_t *w) {
    qsizetype p = 0;
    for (; n - p >= 3; p += 3) {
        const unsigned v = byteAt(p) << 16 | byteAt(p + 1) << 8 | byteAt(p + 2);
        std::memcpy(w, kEncodingPairs[v >> 12].data(), 2 * sizeof(char16_t));
        std::memcpy(w + 2, kEncodingPairs[v & 0xFFF].data(), 2 * sizeof(char16_t));
        w += 4;
    }
    if (p < n) {
        const unsigned b0 = byteAt(p);
        const unsigned b1 = n - p > 1 ? byteAt(p + 1) : 0;
        w[0] = char16_t(gEncodingTable[b0 >> 2]);
        w[1] = char16_t(gEncodingTable[((b0 & 0x03) << 4) | (b1 >> 4)]);
        w[2] = char16_t(n - p > 1 ? gEncodingTable[(b1 & 0x0F) << 2] : '=');
        w[3] = u'=';
    }
}

// byteAt(i) gives input byte i for 0 <= i < n.
template <typename ByteAt> QString base64Encode(qsizetype n, ByteAt byteAt, qint32 lineLength) {
    // The line count is 16-bit and steps by 4: past 32764 it wraps negative before it reaches
    // the line length, so longer lines never break. Kept so the output stays what it has been.
    constexpr qint32 kLongestBreakingLine = 32764;
    const qsizetype groups = (n + 2) / 3;
    qsizetype breaks = 0;
    if (lineLength > 0 && lineLength <= kLongestBreakingLine)
        breaks = groups / ((lineLength + 3) / 4);

    QString out(4 * groups + breaks, Qt::Uninitialized);
    QChar *w = out.data();
    if (lineLength <= 0 || lineLength > kLongestBreakingLine) {
        base64EncodeLine(n, byteAt, reinterpret_cast<char16_t *>(w));
        return out;
    }
    qint16 lineCount = 0;
    for (qsizetype p = 0; p < n; p += 3) {
        const qsizetype remaining = n - p;
        const unsigned b0 = byteAt(p);
        const unsigned b1 = remaining > 1 ? byteAt(p + 1) : 0;
        const unsigned b2 = remaining > 2 ? byteAt(p + 2) : 0;
        const unsigned values[4] = {b0 >> 2, ((b0 & 0x03) << 4) | (b1 >> 4),
                                    ((b1 & 0x0F) << 2) | (b2 >> 6), b2 & 0x3F};
        const qsizetype written = remaining >= 3 ? 4 : remaining + 1;
        for (qsizetype k = 0; k < 4; ++k)
            *w++ = QChar(char16_t(k < written ? gEncodingTable[values[k]] : '='));
        lineCount = static_cast<qint16>(lineCount + 4);
        if (lineLength > 0 && lineCount >= lineLength) {
            *w++ = QChar(u'\n');
            lineCount = 0;
        }
    }
    Q_ASSERT(w == out.constData() + out.size());
    return out;
}

std::optional<QString> decodeUtf8(const QByteArray &data) {
    // Each byte gives at most one unit, and a four-byte character two.
    QString out(data.size(), Qt::Uninitialized);
    QChar *const begin = out.data();
    QChar *w = begin;
    Utf8Decoder decoder;
    for (const char c : data) {
        if (!decoder.feed(static_cast<unsigned char>(c), w))
            return std::nullopt;
    }
    if (decoder.pending())
        return std::nullopt;
    out.truncate(w - begin);
    return out;
}

std::optional<QString> decodeUtf16(const QByteArray &data, bool bigEndian, bool readMark) {
    if (data.size() % 2 != 0)
        return std::nullopt;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    qsizetype first = 0;
    if (readMark && data.size() >= 2) {
        if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
            bigEndian = true;
            first = 2;
        } else if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
            bigEndian = false;
            first = 2;
        }
    }
    QString out((data.size() - first) / 2, Qt::Uninitialized);
    QChar *w = out.data();
    for (qsizetype i = first; i < data.size(); i += 2) {
        const char16_t unit = bigEndian ? char16_t(bytes[i] << 8 | bytes[i + 1])
                                        : char16_t(bytes[i + 1] << 8 | bytes[i]);
        *w++ = QChar(unit);
    }
    if (!hasUtf8Form(out)) // an unpaired surrogate is not valid UTF-16
        return std::nullopt;
    return out;
}

} // namespace

std::optional<QString> stringByAddingPercentEscapes(const QString &s) {
    return percentEscape(s, kFormValueKept, LoneSurrogate::Fail);
}

QString stringByAddingPercentEscapesUsingEncoding(const QString &s) {
    return *percentEscape(s, kMailtoKept, LoneSurrogate::Replace);
}

std::optional<QString> stringByReplacingPercentEscapes(const QString &s) {
    if (!s.contains(u'%'))
        return s;

    // An escape is three units and decodes to at most one; a four-byte character is twelve units
    // and decodes to two. So the result is never longer than s.
    const char16_t *in = units(s);
    const qsizetype n = s.size();
    QString out(n, Qt::Uninitialized);
    QChar *const begin = out.data();
    QChar *w = begin;
    Utf8Decoder decoder;
    for (qsizetype i = 0; i < n;) {
        if (in[i] == u'%') {
            if (i + 2 >= n)
                return std::nullopt;
            const int high = hexValue(in[i + 1]);
            const int low = hexValue(in[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            if (!decoder.feed(static_cast<unsigned char>(high << 4 | low), w))
                return std::nullopt;
            i += 3;
            continue;
        }
        if (decoder.pending()) // a run of escapes ended inside a character
            return std::nullopt;
        *w++ = QChar(in[i++]);
    }
    if (decoder.pending())
        return std::nullopt;
    out.truncate(w - begin);
    return out;
}

QString stringUsingMD5RawHash(const QString &s) {
    // Digests already handed out were made this way (MD5 up to the first NUL, SHA-1 over all
    // of it); either changed would no longer match them.
    return rawDigest(s, "md5", true);
}

QString stringUsingMD5HexadecimalHash(const QString &s) {
    return lowercaseHex(stringUsingMD5RawHash(s));
}

QString stringUsingSHA1RawHash(const QString &s) {
    return rawDigest(s, "sha1", false);
}

QString stringUsingSHA1HexadecimalHash(const QString &s) {
    return lowercaseHex(stringUsingSHA1RawHash(s));
}

QString stringByEscapingHTMLEntities(const QString &s) {
    static constexpr char kLowerHex[] = "0123456789abcdef";
    const char16_t *in = units(s);
    const qsizetype n = s.size();

    qsizetype length = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = in[i];
        if (c == u'&')
            length += 5;
        else if (c == u'<' || c == u'>')
            length += 4;
        else if (c == u'"')
            length += 6;
        else if (c >= 0x20 && c <= 0x7E)
            length += 1;
        else
            length += 4 + hexDigitCount(c);
    }
    if (length == n)
        return s;

    QString out(length, Qt::Uninitialized);
    QChar *w = out.data();
    const auto put = [&w](std::u16string_view text) {
        for (const char16_t c : text)
            *w++ = QChar(c);
    };
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = in[i];
        if (c == u'&') {
            put(u"&amp;");
        } else if (c == u'<') {
            put(u"&lt;");
        } else if (c == u'>') {
            put(u"&gt;");
        } else if (c == u'"') {
            put(u"&quot;");
        } else if (c >= 0x20 && c <= 0x7E) {
            *w++ = QChar(c);
        } else {
            // Each UTF-16 unit on its own, surrogates included: "&#x" digits ";"
            put(u"&#x");
            for (int shift = 4 * (hexDigitCount(c) - 1); shift >= 0; shift -= 4)
                *w++ = QChar(char16_t(kLowerHex[(c >> shift) & 0x0F]));
            *w++ = QChar(u';');
        }
    }
    return out;
}

QString stringByUnescapingHTMLEntities(const QString &s) {
    if (!s.contains(u'&'))
        return s;
    QString text = s;
    // "&amp;" goes first and the later passes see what it yields: "&amp;lt;" comes back as "<"
    // in one call. That order is the established behaviour, so it stays.
    replaceEntity(text, u"&amp;", u'&');
    replaceEntity(text, u"&lt;", u'<');
    replaceEntity(text, u"&gt;", u'>');
    replaceEntity(text, u"&quot;", u'"');
    return text;
}

QString stringUsingBase64Encoding(const QString &s) {
    return stringUsingBase64EncodingWithLineLength(s, 0);
}

QString stringUsingBase64EncodingWithLineLength(const QString &s, qint32 lineLength) {
    // One byte per unit, its low eight bits: Latin-1 text comes out as its Latin-1 bytes.
    const char16_t *in = units(s);
    return base64Encode(
        s.size(), [in](qsizetype i) { return unsigned(in[i] & 0xFF); }, lineLength);
}

QString stringUsingBase64Encoding(const QByteArray &data) {
    return stringUsingBase64EncodingWithLineLength(data, 0);
}

QString stringUsingBase64EncodingWithLineLength(const QByteArray &data, qint32 lineLength) {
    const auto *in = reinterpret_cast<const unsigned char *>(data.constData());
    return base64Encode(
        data.size(), [in](qsizetype i) { return unsigned(in[i]); }, lineLength);
}

QByteArray dataUsingBase64Decoding(const QString &s) {
    const char16_t *in = units(s);
    const qsizetype n = s.size();
    QByteArray out(n / 4 * 3 + 2, Qt::Uninitialized); // 3 per full group, 2 at most after it
    char *const begin = out.data();
    char *w = begin;
    unsigned group[4] = {0, 0, 0, 0};
    int fill = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const signed char value = kDecodingTable[in[i] & 0xFF];
        if (value == kSkip)
            continue;
        if (value == kPad) {
            // A lone value before "=" has no partner to give the byte its low two bits: they
            // are taken as zero, as if the missing value were "A".
            if (fill == 1)
                group[1] = 0;
            if (fill >= 1)
                *w++ = static_cast<char>(group[0] << 2 | group[1] >> 4);
            if (fill == 3)
                *w++ = static_cast<char>((group[1] & 0x0F) << 4 | group[2] >> 2);
            break;
        }
        group[fill++] = unsigned(value);
        if (fill == 4) {
            *w++ = static_cast<char>(group[0] << 2 | group[1] >> 4);
            *w++ = static_cast<char>((group[1] & 0x0F) << 4 | group[2] >> 2);
            *w++ = static_cast<char>((group[2] & 0x03) << 6 | group[3]);
            fill = 0;
        }
    }
    out.truncate(w - begin);
    return out;
}

std::optional<QString> stringUsingBase64Decoding(const QString &s) {
    return stringUsingEncoding(dataUsingBase64Decoding(s), 4);
}

std::optional<QString> stringUsingEncoding(const QByteArray &data, quint32 encoding) {
    switch (encoding) {
    case 1: // ASCII, taken as one character per byte so that raw digest bytes survive
    case 5: // ISO Latin-1
        return QString::fromLatin1(data);
    case 4: // UTF-8
        return decodeUtf8(data);
    case 10: // UTF-16, byte order from the mark
        return decodeUtf16(data, true, true);
    case 0x90000100: // UTF-16 big-endian
        return decodeUtf16(data, true, false);
    case 0x94000100: // UTF-16 little-endian
        return decodeUtf16(data, false, false);
    default:
        return std::nullopt;
    }
}

} // namespace WebExtensions
