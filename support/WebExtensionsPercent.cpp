#include "WebExtensions.h"
#include "WebExtensionsUnicode_p.h"

// Percent escapes: for form values and URLs, for the texts of a mailto URL, and back.

#include <array>
#include <string_view>

namespace WebExtensions {

using namespace detail;

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

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
