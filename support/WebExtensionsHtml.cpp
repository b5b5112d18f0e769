#include "WebExtensions.h"
#include "WebExtensionsUnicode_p.h"

// HTML entities: escaping per UTF-16 unit, and the four literal unescaping passes.

#include <algorithm>
#include <string_view>

namespace WebExtensions {

using namespace detail;

namespace {

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

} // namespace

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

} // namespace WebExtensions
