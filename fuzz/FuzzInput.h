#pragma once

// Turns libFuzzer's bytes into the strings our helpers take. The first byte picks how the rest is
// read, so one corpus reaches both plain text (where "%41" or "&amp;" are easy to find) and
// arbitrary UTF-16 code units (unpaired surrogates, U+0000, units above 0xFF).

#include <QByteArray>
#include <QString>

#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>

namespace fuzz {

inline QString stringFromInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return QString();
    const auto *rest = reinterpret_cast<const char *>(data + 1);
    const auto restSize = static_cast<qsizetype>(size - 1);
    switch (data[0] % 3) {
    case 0: // one unit per byte
        return QString::fromLatin1(rest, restSize);
    case 1: // UTF-8, whatever QString makes of malformed sequences
        return QString::fromUtf8(rest, restSize);
    default: { // raw UTF-16 units, little-endian
        QString s(restSize / 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < s.size(); ++i)
            s[i] = QChar(static_cast<char16_t>(std::uint8_t(rest[2 * i]) |
                                               std::uint8_t(rest[2 * i + 1]) << 8));
        return s;
    }
    }
}

// Whether every surrogate in s is half of a pair, that is whether s has a UTF-8 form.
inline bool isWellFormed(const QString &s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())
            ++i;
        else if (s[i].isSurrogate())
            return false;
    }
    return true;
}

} // namespace fuzz
