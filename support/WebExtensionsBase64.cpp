#include "WebExtensions.h"
#include "WebExtensionsUnicode_p.h"

// Base64: encoding with optional line breaks, and the forgiving decoder.

#include <array>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>

namespace WebExtensions {

using namespace detail;

namespace {

// The standard Base64 alphabet; its index is the 6-bit value.
constexpr char kEncodingTable[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr signed char kSkip = -1;
constexpr signed char kPad = -2;

constexpr std::array<signed char, 256> makeDecodingTable() {
    std::array<signed char, 256> table{};
    table.fill(kSkip);
    for (int v = 0; v < 64; ++v)
        table[static_cast<unsigned char>(kEncodingTable[v])] = static_cast<signed char>(v);
    table['='] = kPad;
    return table;
}
constexpr std::array<signed char, 256> kDecodingTable = makeDecodingTable();

// A large output is written once, front to back, into memory fresh from the system. With pages of
// 4 KiB each one costs a fault on first touch, which on a virtual machine took longer than the
// encoding itself (64 MiB encoded: 170 MB of text, 41,000 faults); huge pages make them 512 times
// fewer. Only a hint: the kernel may decline it.
void adviseHugePages(void *data, qsizetype bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    if (bytes < qsizetype(2 * kHuge))
        return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end =
        (reinterpret_cast<std::uintptr_t>(data) + std::uintptr_t(bytes)) & ~(kHuge - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// The two characters of every 12-bit value, so a group of three bytes takes two look-ups.
constexpr auto kEncodingPairs = [] {
    std::array<std::array<char16_t, 2>, 4096> pairs{};
    for (int v = 0; v < 4096; ++v)
        pairs[size_t(v)] = {char16_t(kEncodingTable[v >> 6]), char16_t(kEncodingTable[v & 0x3F])};
    return pairs;
}();

// One line: whole groups through the pair table, then the last group with its padding.
template <typename ByteAt> void base64EncodeLine(qsizetype n, ByteAt byteAt, char16_t *w) {
    qsizetype p = 0;
    for (; n - p >= 3; p += 3) {
        const unsigned v = byteAt(p) << 16 | byteAt(p + 1) << 8 | byteAt(p + 2);
        std::memcpy(w, kEncodingPairs[v >> 12].data(), 2 * sizeof(char16_t));
        std::memcpy(w + 2, kEncodingPairs[v & 0xFFF].data(), 2 * sizeof(char16_t));
        w += 4;
    }
    if (p < n) {
        const unsigned b0 = byteAt(p);
        const unsigned b1 = n - p > 1 ? byteAt(p + 1) : 0;
        w[0] = char16_t(kEncodingTable[b0 >> 2]);
        w[1] = char16_t(kEncodingTable[((b0 & 0x03) << 4) | (b1 >> 4)]);
        w[2] = char16_t(n - p > 1 ? kEncodingTable[(b1 & 0x0F) << 2] : '=');
        w[3] = u'=';
    }
}

// byteAt(i) gives input byte i for 0 <= i < n.
template <typename ByteAt> QString base64Encode(qsizetype n, ByteAt byteAt, qint32 lineLength) {
    // The line count is 16-bit and steps by 4: past 32764 it wraps negative before it reaches
    // the line length, so longer lines never break. Kept so the output stays what it has been.
    constexpr qint32 kLongestBreakingLine = 32764;
    const qsizetype groups = (n + 2) / 3;
    qsizetype breaks = 0;
    if (lineLength > 0 && lineLength <= kLongestBreakingLine)
        breaks = groups / ((lineLength + 3) / 4);

    QString out(4 * groups + breaks, Qt::Uninitialized);
    QChar *w = out.data();
    adviseHugePages(w, out.size() * qsizetype(sizeof(QChar)));
    if (lineLength <= 0 || lineLength > kLongestBreakingLine) {
        base64EncodeLine(n, byteAt, reinterpret_cast<char16_t *>(w));
        return out;
    }
    qint16 lineCount = 0;
    for (qsizetype p = 0; p < n; p += 3) {
        const qsizetype remaining = n - p;
        const unsigned b0 = byteAt(p);
        const unsigned b1 = remaining > 1 ? byteAt(p + 1) : 0;
        const unsigned b2 = remaining > 2 ? byteAt(p + 2) : 0;
        const unsigned values[4] = {b0 >> 2, ((b0 & 0x03) << 4) | (b1 >> 4),
                                    ((b1 & 0x0F) << 2) | (b2 >> 6), b2 & 0x3F};
        const qsizetype written = remaining >= 3 ? 4 : remaining + 1;
        for (qsizetype k = 0; k < 4; ++k)
            *w++ = QChar(char16_t(k < written ? kEncodingTable[values[k]] : '='));
        lineCount = static_cast<qint16>(lineCount + 4);
        if (lineLength > 0 && lineCount >= lineLength) {
            *w++ = QChar(u'\n');
            lineCount = 0;
        }
    }
    Q_ASSERT(w == out.constData() + out.size());
    return out;
}

} // namespace

QString stringUsingBase64Encoding(const QString &s) {
    return stringUsingBase64EncodingWithLineLength(s, 0);
}

QString stringUsingBase64EncodingWithLineLength(const QString &s, qint32 lineLength) {
    // One byte per unit, its low eight bits: Latin-1 text comes out as its Latin-1 bytes.
    const char16_t *in = units(s);
    return base64Encode(
        s.size(), [in](qsizetype i) { return unsigned(in[i] & 0xFF); }, lineLength);
}

QString stringUsingBase64Encoding(const QByteArray &data) {
    return stringUsingBase64EncodingWithLineLength(data, 0);
}

QString stringUsingBase64EncodingWithLineLength(const QByteArray &data, qint32 lineLength) {
    const auto *in = reinterpret_cast<const unsigned char *>(data.constData());
    return base64Encode(
        data.size(), [in](qsizetype i) { return unsigned(in[i]); }, lineLength);
}

QByteArray dataUsingBase64Decoding(const QString &s) {
    const char16_t *in = units(s);
    const qsizetype n = s.size();
    QByteArray out(n / 4 * 3 + 2, Qt::Uninitialized); // 3 per full group, 2 at most after it
    char *const begin = out.data();
    adviseHugePages(begin, out.size());
    char *w = begin;
    unsigned group[4] = {0, 0, 0, 0};
    int fill = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const signed char value = kDecodingTable[in[i] & 0xFF];
        if (value == kSkip)
            continue;
        if (value == kPad) {
            // A lone value before "=" has no partner to give the byte its low two bits: they
            // are taken as zero, as if the missing value were "A".
            if (fill == 1)
                group[1] = 0;
            if (fill >= 1)
                *w++ = static_cast<char>(group[0] << 2 | group[1] >> 4);
            if (fill == 3)
                *w++ = static_cast<char>((group[1] & 0x0F) << 4 | group[2] >> 2);
            break;
        }
        group[fill++] = unsigned(value);
        if (fill == 4) {
            *w++ = static_cast<char>(group[0] << 2 | group[1] >> 4);
            *w++ = static_cast<char>((group[1] & 0x0F) << 4 | group[2] >> 2);
            *w++ = static_cast<char>((group[2] & 0x03) << 6 | group[3]);
            fill = 0;
        }
    }
    out.truncate(w - begin);
    return out;
}

std::optional<QString> stringUsingBase64Decoding(const QString &s) {
    return stringUsingEncoding(dataUsingBase64Decoding(s), 4);
}

} // namespace WebExtensions
