#include "WebExtensions.h"
#include "WebExtensionsUnicode_p.h"

// Text from bytes in one of the platform's encoding numbers.

namespace WebExtensions {

using namespace detail;

namespace {

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
