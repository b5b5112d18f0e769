// HTML unescaping on any text, and escaping against what it promises.

#include "FuzzInput.h"
#include "WebExtensions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace WebExtensions;

    const QString text = fuzz::stringFromInput(data, size);
    const QString unescaped = stringByUnescapingHTMLEntities(text);
    // Each pass only ever shortens the text.
    fuzz::check(unescaped.size() <= text.size(), "unescaped text longer than its input");
    if (!text.contains(QLatin1Char('&')))
        fuzz::check(unescaped == text, "changed a text without entities");

    const QString escaped = stringByEscapingHTMLEntities(text);
    bool plainAscii = true;
    for (QChar c : escaped) {
        fuzz::check(c.unicode() >= 0x20 && c.unicode() < 0x7f, "escaped text is not printable");
        fuzz::check(c != QLatin1Char('<') && c != QLatin1Char('>') && c != QLatin1Char('"'),
                    "a markup character survived escaping");
    }
    for (QChar c : text)
        plainAscii = plainAscii && c.unicode() >= 0x20 && c.unicode() < 0x7f;
    // Without "&" in the input nothing can be unescaped twice, so printable ASCII comes back.
    if (plainAscii && !text.contains(QLatin1Char('&')))
        fuzz::check(stringByUnescapingHTMLEntities(escaped) == text, "round trip");
    return 0;
}
