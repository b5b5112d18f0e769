// Percent unescaping on any text, and the round trip through both escapers.

#include "FuzzInput.h"
#include "WebExtensions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace WebExtensions;

    const QString text = fuzz::stringFromInput(data, size);
    const std::optional<QString> plain = stringByReplacingPercentEscapes(text);
    // Three units "%XX" make one byte, and a UTF-8 sequence of n bytes at most n/2 + 1 units.
    if (plain)
        fuzz::check(plain->size() <= text.size(), "unescaped text longer than its input");

    const std::optional<QString> escaped = stringByAddingPercentEscapes(text);
    const QString mailEscaped = stringByAddingPercentEscapesUsingEncoding(text);
    if (!fuzz::isWellFormed(text)) {
        fuzz::check(!escaped, "escaped a string that has no UTF-8 form");
        return 0;
    }
    fuzz::check(escaped.has_value(), "refused a well-formed string");
    for (QChar c : *escaped)
        fuzz::check(c.unicode() > 0x20 && c.unicode() < 0x7f, "escaped text is not plain ASCII");
    fuzz::check(stringByReplacingPercentEscapes(*escaped) == text, "round trip");
    fuzz::check(stringByReplacingPercentEscapes(mailEscaped) == text, "round trip (mail escaping)");
    return 0;
}
