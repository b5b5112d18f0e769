#include "WebExtensions.h"
#include "WebExtensionsUnicode_p.h"

// Text from bytes in one of the platform's encoding numbers, and the vector part of UTF-8
// encoding.

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NUBELO_HAVE_X86 1
#endif

#include <array>

namespace WebExtensions {

namespace detail {

#ifdef NUBELO_HAVE_X86
namespace {

// For each set of one-byte lanes among eight (bit i: lane i is ASCII), the shuffle that keeps
// byte 0 of every lane and byte 1 of the two-byte ones, in order, and how many bytes that is.
struct Compaction {
    std::array<std::array<unsigned char, 16>, 256> shuffle{};
    std::array<unsigned char, 256> length{};
};

constexpr Compaction makeCompaction() {
    Compaction c;
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned j = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            c.shuffle[mask][j++] = static_cast<unsigned char>(2 * lane);
            if (!(mask >> lane & 1))
                c.shuffle[mask][j++] = static_cast<unsigned char>(2 * lane + 1);
        }
        c.length[mask] = static_cast<unsigned char>(j);
        for (; j < 16; ++j)
            c.shuffle[mask][j] = 0x80; // a zero byte, past the end of what counts
    }
    return c;
}
constexpr Compaction kCompaction = makeCompaction();

__attribute__((target("ssse3"))) void shortUnitsSsse3(const char16_t *&p, const char16_t *end,
                                                      unsigned char *&w,
                                                      const unsigned char *limit) {
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 8 && limit - w >= 16) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(in, _mm_set1_epi16(-0x80)), zero);
        const int asciiMask = _mm_movemask_epi8(_mm_packs_epi16(ascii, zero)) & 0xFF;
        const __m128i below800 = _mm_cmpeq_epi16(_mm_and_si128(in, _mm_set1_epi16(-0x800)), zero);
        if (_mm_movemask_epi8(below800) != 0xFFFF)
            return;
        // Each lane as its two bytes in order (0xC0 | c >> 6, then 0x80 | c & 0x3F), or as
        // the character itself where it is ASCII; then the ASCII lanes' second bytes go.
        const __m128i lead = _mm_or_si128(_mm_srli_epi16(in, 6), _mm_set1_epi16(0xC0));
        const __m128i trail =
            _mm_or_si128(_mm_and_si128(in, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
        const __m128i two = _mm_or_si128(lead, _mm_slli_epi16(trail, 8));
        const __m128i lanes = _mm_or_si128(_mm_and_si128(ascii, in), _mm_andnot_si128(ascii, two));
        const __m128i order = _mm_loadu_si128(
            reinterpret_cast<const __m128i *>(kCompaction.shuffle[asciiMask].data()));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(w), _mm_shuffle_epi8(lanes, order));
        w += kCompaction.length[asciiMask];
        p += 8;
    }
}

// The same sixteen units at a time: the arithmetic on both groups at once, each 128-bit half
// compacted by its own group's shuffle. Stops at a group of sixteen that holds a longer
// character; the eight-unit form then takes what it can of it.
__attribute__((target("avx2"))) void shortUnitsAvx2(const char16_t *&p, const char16_t *end,
                                                    unsigned char *&w, const unsigned char *limit) {
    const __m256i zero = _mm256_setzero_si256();
    while (end - p >= 16 && limit - w >= 32) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i below800 =
            _mm256_cmpeq_epi16(_mm256_and_si256(in, _mm256_set1_epi16(-0x800)), zero);
        if (_mm256_movemask_epi8(below800) != -1)
            return;
        const __m256i ascii =
            _mm256_cmpeq_epi16(_mm256_and_si256(in, _mm256_set1_epi16(-0x80)), zero);
        // The pack works within each half: bits 0-7 are the first group's, 16-23 the second's.
        const unsigned masks = unsigned(_mm256_movemask_epi8(_mm256_packs_epi16(ascii, zero)));
        const unsigned first = masks & 0xFF;
        const unsigned second = masks >> 16 & 0xFF;
        const __m256i lead = _mm256_or_si256(_mm256_srli_epi16(in, 6), _mm256_set1_epi16(0xC0));
        const __m256i trail =
            _mm256_or_si256(_mm256_and_si256(in, _mm256_set1_epi16(0x3F)), _mm256_set1_epi16(0x80));
        const __m256i two = _mm256_or_si256(lead, _mm256_slli_epi16(trail, 8));
        const __m256i lanes =
            _mm256_or_si256(_mm256_and_si256(ascii, in), _mm256_andnot_si256(ascii, two));
        const __m256i order = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(
                reinterpret_cast<const __m128i *>(kCompaction.shuffle[first].data()))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(kCompaction.shuffle[second].data())),
            1);
        const __m256i packed = _mm256_shuffle_epi8(lanes, order);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(w), _mm256_castsi256_si128(packed));
        w += kCompaction.length[first];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(w), _mm256_extracti128_si256(packed, 1));
        w += kCompaction.length[second];
        p += 16;
    }
}

const bool kHaveSsse3 = __builtin_cpu_supports("ssse3");
const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

} // namespace
#endif

void utf8FromShortUnits(const char16_t *&p, const char16_t *end, unsigned char *&w,
                        const unsigned char *limit) {
#ifdef NUBELO_HAVE_X86
    if (kHaveAvx2)
        shortUnitsAvx2(p, end, w, limit);
    if (kHaveSsse3)
        shortUnitsSsse3(p, end, w, limit);
#else
    (void)p, (void)end, (void)w, (void)limit;
#endif
}

} // namespace detail

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
