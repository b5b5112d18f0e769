// The Base64 decoder on any text, and the codec's round trip on any bytes.

#include "FuzzInput.h"
#include "WebExtensions.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace WebExtensions;

    const QString text = fuzz::stringFromInput(data, size);
    const QByteArray decoded = dataUsingBase64Decoding(text);
    // Four alphabet characters give at most three bytes, and a short group ended by "=" one or
    // two: never more than three bytes per four units of input, rounded up.
    fuzz::check(decoded.size() <= (text.size() + 3) / 4 * 3, "decoded output larger than input");

    const std::optional<QString> asText = stringUsingBase64Decoding(text);
    if (asText)
        fuzz::check(asText->toUtf8() == decoded, "decoded text is not the decoded bytes");

    // Whatever the encoder writes, with or without line breaks, decodes to the same bytes.
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString encoded = stringUsingBase64Encoding(bytes);
    fuzz::check(encoded.size() == (bytes.size() + 2) / 3 * 4, "encoded length");
    fuzz::check(dataUsingBase64Decoding(encoded) == bytes, "round trip");
    const qint32 lineLength = size > 0 ? qint32(std::int8_t(data[size - 1])) : 0;
    fuzz::check(dataUsingBase64Decoding(
                    stringUsingBase64EncodingWithLineLength(bytes, lineLength)) == bytes,
                "round trip with line breaks");

    // The text form encodes the low byte of each unit.
    QByteArray low(text.size(), Qt::Uninitialized);
    std::transform(text.begin(), text.end(), low.begin(),
                   [](QChar c) { return char(c.unicode() & 0xff); });
    fuzz::check(dataUsingBase64Decoding(stringUsingBase64Encoding(text)) == low,
                "round trip of a text");
    return 0;
}
