#pragma once

// What the string helpers share: walking the code points of a QString, and UTF-8 both ways.
// Internal to the webextensions library; callers use WebExtensions.h.

#include <QChar>
#include <QString>

#include <memory>

namespace WebExtensions::detail {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// QString::utf16() still answers ushort in Qt 6.4.
inline const char16_t *units(const QString &s) {
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

inline int utf8Length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of c (a scalar value) into out and returns its length.
inline int encodeUtf8(char32_t c, unsigned char *out) {
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

inline void writeUtf16(char32_t c, QChar *&w) {
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
    bool pending() const { return mNeed > 0; }

    // Appends a completed character to w; false when b cannot continue well-formed UTF-8.
    bool feed(unsigned char b, QChar *&w) {
        if (mNeed == 0) {
            if (b < 0x80) {
                *w++ = QChar(char16_t(b));
                return true;
            }
            if (b < 0xC2 || b > 0xF4)
                return false;
            if (b < 0xE0) {
                mNeed = 1;
                mValue = b & 0x1F;
            } else if (b < 0xF0) {
                mNeed = 2;
                mValue = b & 0x0F;
                mLow = b == 0xE0 ? 0xA0 : 0x80;
                mHigh = b == 0xED ? 0x9F : 0xBF;
            } else {
                mNeed = 3;
                mValue = b & 0x07;
                mLow = b == 0xF0 ? 0x90 : 0x80;
                mHigh = b == 0xF4 ? 0x8F : 0xBF;
            }
            return true;
        }
        if (b < mLow || b > mHigh)
            return false;
        mLow = 0x80;
        mHigh = 0xBF;
        mValue = (mValue << 6) | (b & 0x3F);
        if (--mNeed == 0)
            writeUtf16(mValue, w);
        return true;
    }

private:
    char32_t mValue = 0;
    int mNeed = 0;
    unsigned char mLow = 0x80;
    unsigned char mHigh = 0xBF;
};

// True when s holds no unpaired surrogate, so that it has a UTF-8 form.
inline bool hasUtf8Form(const QString &s) {
    return forEachCodePoint(s, LoneSurrogate::Fail, [](char32_t) {});
}

// Converts the units at p, eight at a time, for as long as a whole group of eight is below
// U+0800 (one or two bytes each) and fits before `limit` with room for sixteen bytes, and moves
// p and w past what it converted. Converts nothing on a processor without SSSE3.
void utf8FromShortUnits(const char16_t *&p, const char16_t *end, unsigned char *&w,
                        const unsigned char *limit);

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
        // Mostly Latin text goes 16 or 8 units at a time. Where a group holds a longer character,
        // the plain branches take the group one unit at a time (text runs mostly one way, so
        // they predict well; four units at a time or branch-free forms came out slower).
        const char16_t *scalarUntil = p;
        while (p < end && w <= limit) {
            if (p >= scalarUntil) {
                utf8FromShortUnits(p, end, w, limit);
                scalarUntil = end - p > 8 ? p + 8 : end;
                if (p >= end || w > limit)
                    break;
            }
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

} // namespace WebExtensions::detail
