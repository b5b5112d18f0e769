#include "WebExtensions.h"

#include <array>
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

} // namespace WebExtensions
