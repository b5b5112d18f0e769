#include "PngEncoder.h"

#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <queue>
#include <vector>

namespace {

using Byte = unsigned char;

platform::Error pngError(const QString &reason) {
    return platform::Error{QStringLiteral("PhotoHost"), 1,
                           QStringLiteral("cannot make the PNG file: %1").arg(reason)};
}

// How the image's rows become the file's pixel bytes.
struct Layout {
    Byte colourType; // 0 grey, 2 RGB, 6 RGBA
    int channels;
};

Layout layoutOf(QImage::Format format) {
    switch (format) {
    case QImage::Format_Grayscale8:
        return {0, 1};
    case QImage::Format_RGB32:
    case QImage::Format_RGB888:
        return {2, 3};
    default: // ARGB32, RGBA8888
        return {6, 4};
    }
}

// One row as PNG bytes: R, G, B(, A). QImage's 32-bit formats hold 0xAARRGGBB words in native
// order, whose bytes are B, G, R, A on a little-endian machine.
void readRow(const QImage &image, int y, Byte *out) {
    const int width = image.width();
    const uchar *line = image.constScanLine(y);
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32) {
        const bool alpha = image.format() == QImage::Format_ARGB32;
        const QRgb *pixels = reinterpret_cast<const QRgb *>(line);
        for (int x = 0; x < width; ++x) {
            const QRgb p = pixels[x];
            *out++ = Byte(qRed(p));
            *out++ = Byte(qGreen(p));
            *out++ = Byte(qBlue(p));
            if (alpha)
                *out++ = Byte(qAlpha(p));
        }
    } else { // the byte-ordered formats: only the pixels, not the padding after them
        std::memcpy(out, line, size_t(width) * size_t(layoutOf(image.format()).channels));
    }
}

// The Paeth predictor: of left, above and above-left, the one nearest to left + above - above-left.
Byte paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int bOrC = pb <= pc ? b : c;
    return Byte(pa <= pb && pa <= pc ? a : bOrC);
}

// A filtered row's cost: its bytes read as signed, summed by magnitude. Rows of small
// differences compress best; libpng chooses by the same measure.
quint64 cost(const Byte *row, qsizetype n) {
    quint64 sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += row[i] < 128 ? row[i] : 256 - row[i];
    return sum;
}

// Writes the filter type and the filtered row `cur` (above it `prev`, zero on the first row) to
// `out`; `scratch` holds the four filtered candidates.
void filterRow(const Byte *cur, const Byte *prev, qsizetype n, int bpp, Byte *scratch, Byte *out) {
    Byte *sub = scratch, *up = scratch + n, *average = scratch + 2 * n, *pae = scratch + 3 * n;
    for (qsizetype i = 0; i < std::min<qsizetype>(bpp, n); ++i) { // nothing to the left
        sub[i] = cur[i];
        up[i] = Byte(cur[i] - prev[i]);
        average[i] = Byte(cur[i] - (prev[i] >> 1));
        pae[i] = Byte(cur[i] - prev[i]);
    }
    for (qsizetype i = bpp; i < n; ++i) {
        sub[i] = Byte(cur[i] - cur[i - bpp]);
        up[i] = Byte(cur[i] - prev[i]);
        average[i] = Byte(cur[i] - ((cur[i - bpp] + prev[i]) >> 1));
        pae[i] = Byte(cur[i] - paeth(cur[i - bpp], prev[i], prev[i - bpp]));
    }
    const std::array<const Byte *, 5> candidates{cur, sub, up, average, pae};
    int best = 0;
    quint64 bestCost = cost(cur, n);
    for (int type = 1; type < 5; ++type) {
        const quint64 c = cost(candidates[type], n);
        if (c < bestCost) {
            best = type;
            bestCost = c;
        }
    }
    out[0] = Byte(best);
    std::memcpy(out + 1, candidates[best], size_t(n));
}

// Ends the chunk that starts at `start` in `file`: its length, then its checksum.
void closeChunk(QByteArray &file, qsizetype start) {
    qToBigEndian<quint32>(quint32(file.size() - start - 8), file.data() + start);
    char crc[4];
    qToBigEndian<quint32>(
        quint32(crc32_z(0, reinterpret_cast<const Bytef *>(file.constData() + start + 4),
                        size_t(file.size() - start - 4))),
        crc);
    file.append(crc, 4);
}

void appendChunk(QByteArray &file, const char type[4], const Byte *data, qsizetype size) {
    const qsizetype start = file.size();
    file.append("\0\0\0\0", 4);
    file.append(type, 4);
    file.append(reinterpret_cast<const char *>(data), size);
    closeChunk(file, start);
}

// The filtered rows of a photo hold noise that repeats nothing worth a back-reference: short
// matches cost more bits than the bytes they stand for, and searching for them takes most of
// the time. So the stream holds literals only, each block coded with a Huffman code made for
// it. On 640 x 480 renderings of camera photos that makes 295 KiB a photo, where zlib's level 4
// (through libpng) makes 321 KiB and libdeflate's levels 4 to 7 make 323 to 326 KiB; the whole
// encoding takes a fifth of the time of zlib's, half of libdeflate's level 4.

// Bytes per block: small enough for the code to follow the picture from sky to foliage, large
// enough that the code's description (some 60 bytes) costs little.
constexpr qsizetype kBlockBytes = 32 * 1024;
static_assert(kBlockBytes <= 65535); // a block stored as it is holds at most that

// Deflate's bits go least significant first; a Huffman code's bits, first bit first.
class BitWriter {
public:
    explicit BitWriter(QByteArray &out)
        : mOut(out) {}
    void put(quint32 bits, int count) { // count <= 32
        mBits |= quint64(bits) << mCount;
        mCount += count;
        for (; mCount >= 8; mCount -= 8, mBits >>= 8)
            mOut.append(char(mBits));
    }
    void align() {
        if (mCount > 0)
            put(0, 8 - mCount);
    }

private:
    QByteArray &mOut;
    quint64 mBits = 0;
    int mCount = 0;
};

// Huffman code lengths of at most `limit` bits for the symbols' counts, 0 for a symbol that
// does not occur. At least two symbols get a code, so that the code is complete: decoders
// refuse an incomplete one. Over the limit, the counts are flattened and the tree built again.
std::vector<Byte> codeLengths(std::vector<quint64> counts, int limit) {
    const int n = int(counts.size());
    for (int s = 0; std::count(counts.begin(), counts.end(), quint64(0)) > n - 2; ++s)
        counts[size_t(s)] = std::max<quint64>(counts[size_t(s)], 1);
    std::vector<Byte> lengths(size_t(n), 0);
    for (;;) {
        using Node = std::pair<quint64, int>; // weight, index (symbols first, then inner nodes)
        std::priority_queue<Node, std::vector<Node>, std::greater<>> heap;
        std::vector<int> parent(size_t(n), -1);
        for (int s = 0; s < n; ++s)
            if (counts[s] > 0)
                heap.push({counts[s], s});
        while (heap.size() > 1) {
            const Node a = heap.top();
            heap.pop();
            const Node b = heap.top();
            heap.pop();
            parent[size_t(a.second)] = parent[size_t(b.second)] = int(parent.size());
            heap.push({a.first + b.first, int(parent.size())});
            parent.push_back(-1);
        }
        int longest = 0;
        for (int s = 0; s < n; ++s) {
            int depth = 0;
            for (int k = s; counts[s] > 0 && parent[size_t(k)] >= 0; k = parent[size_t(k)])
                ++depth;
            lengths[size_t(s)] = Byte(depth);
            longest = std::max(longest, depth);
        }
        if (longest <= limit)
            return lengths;
        for (quint64 &c : counts)
            c = c > 0 ? c / 2 + 1 : 0;
    }
}

// The canonical code of each symbol, its bits reversed as the stream wants them.
std::vector<quint32> canonicalCodes(const std::vector<Byte> &lengths) {
    quint32 perLength[16] = {};
    for (Byte length : lengths)
        ++perLength[length];
    perLength[0] = 0;
    quint32 next[16] = {};
    for (int bits = 1; bits < 16; ++bits)
        next[bits] = (next[bits - 1] + perLength[bits - 1]) << 1;
    std::vector<quint32> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); ++s) {
        const int length = lengths[s];
        const quint32 code = length > 0 ? next[length]++ : 0;
        for (int i = 0; i < length; ++i)
            codes[s] |= ((code >> i) & 1) << (length - 1 - i);
    }
    return codes;
}

// One block of literals: with a code of its own, or stored when that would not be smaller.
void writeBlock(BitWriter &bits, QByteArray &out, const Byte *data, qsizetype n, bool last) {
    std::vector<quint64> counts(257, 0);
    for (qsizetype i = 0; i < n; ++i)
        ++counts[data[i]];
    counts[256] = 1; // the end of the block
    const std::vector<Byte> lengths = codeLengths(counts, 15);

    // The lengths of 257 literal codes and of one distance code that is never used (length
    // 0), in runs: 16 repeats the last length 3 to 6 times, 17 and 18 write 3 to 10 and 11 to
    // 138 zeros.
    std::vector<Byte> all(lengths);
    all.push_back(0);
    std::vector<std::pair<Byte, Byte>> runs; // symbol, the value of its extra bits
    for (size_t i = 0, j = 0; i < all.size(); i = j) {
        while (j < all.size() && all[j] == all[i])
            ++j;
        size_t run = j - i;
        if (all[i] == 0) {
            for (; run >= 11; run -= std::min<size_t>(run, 138))
                runs.push_back({18, Byte(std::min<size_t>(run, 138) - 11)});
            if (run >= 3) {
                runs.push_back({17, Byte(run - 3)});
                run = 0;
            }
        } else {
            runs.push_back({all[i], 0});
            for (--run; run >= 3; run -= std::min<size_t>(run, 6))
                runs.push_back({16, Byte(std::min<size_t>(run, 6) - 3)});
        }
        for (; run > 0; --run)
            runs.push_back({all[i], 0});
    }
    std::vector<quint64> runCounts(19, 0);
    for (const auto &run : runs)
        ++runCounts[run.first];
    const std::vector<Byte> runLengths = codeLengths(runCounts, 7);
    static constexpr Byte kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
    int lengthCodes = 19;
    while (lengthCodes > 4 && runLengths[kOrder[lengthCodes - 1]] == 0)
        --lengthCodes;

    static constexpr int kExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
    quint64 cost = 17 + 3 * quint64(lengthCodes);
    for (const auto &run : runs)
        cost += runLengths[run.first] + quint64(kExtraBits[run.first]);
    for (int s = 0; s < 257; ++s)
        cost += counts[size_t(s)] * lengths[size_t(s)];
    if (cost >= 8 * quint64(n + 5)) {
        bits.put(last ? 1 : 0, 3); // stored
        bits.align();
        bits.put(quint32(n), 16);
        bits.put(quint32(~n) & 0xffff, 16);
        out.append(reinterpret_cast<const char *>(data), n);
        return;
    }
    bits.put(last ? 5 : 4, 3); // a block with codes of its own
    bits.put(0, 5);            // 257 literal codes
    bits.put(0, 5);            // one distance code
    bits.put(quint32(lengthCodes - 4), 4);
    for (int k = 0; k < lengthCodes; ++k)
        bits.put(runLengths[kOrder[k]], 3);
    const std::vector<quint32> runCodes = canonicalCodes(runLengths);
    for (const auto &[symbol, extra] : runs) {
        bits.put(runCodes[symbol], runLengths[symbol]);
        bits.put(extra, kExtraBits[symbol]);
    }
    const std::vector<quint32> codes = canonicalCodes(lengths);
    for (qsizetype i = 0; i < n; ++i)
        bits.put(codes[data[i]], lengths[data[i]]);
    bits.put(codes[256], lengths[256]);
}

// Appends `data` to `out` as a zlib stream of literals only.
void compressInto(QByteArray &out, QByteArrayView data) {
    out.append("\x78\x01", 2); // deflate with a 32 KiB window, no dictionary; the checksum fits
    BitWriter bits(out);
    const Byte *bytes = reinterpret_cast<const Byte *>(data.data());
    const qsizetype size = data.size();
    qsizetype at = 0;
    do { // nothing to compress still makes one, empty, block: a stream without one is no stream
        const qsizetype n = std::min(kBlockBytes, size - at);
        writeBlock(bits, out, bytes + at, n, at + n == size);
        at += n;
    } while (at < size);
    bits.align();
    char adler[4];
    qToBigEndian<quint32>(quint32(adler32_z(1, bytes, size_t(size))), adler);
    out.append(adler, 4);
}

// The compressed pixels fit one IDAT chunk, whose length may not pass 2^31 - 1: at worst every
// block is stored, 5 bytes more than it holds.
static_assert(PngEncoder::kMaxFilteredBytes / kBlockBytes * 6 + PngEncoder::kMaxFilteredBytes <
              0x7fff'0000);

platform::Expected<QByteArray> encodeTaken(const QImage &image) {
    const Layout layout = layoutOf(image.format());
    const int width = image.width();
    const int height = image.height();
    const qsizetype rowBytes = qsizetype(width) * layout.channels;
    if (qint64(rowBytes) + 1 > PngEncoder::kMaxFilteredBytes / height)
        return pngError(
            QStringLiteral("the image is too large (%1 x %2 pixels)").arg(width).arg(height));
    const qsizetype filteredBytes = (rowBytes + 1) * height;

    std::vector<Byte> rows(size_t(rowBytes) * 6); // this row, the one above, four candidates
    std::vector<Byte> filtered(static_cast<size_t>(filteredBytes));
    Byte *cur = rows.data(), *prev = cur + rowBytes, *const scratch = cur + 2 * rowBytes;
    for (int y = 0; y < height; ++y) {
        readRow(image, y, cur);
        filterRow(cur, prev, rowBytes, layout.channels, scratch,
                  filtered.data() + y * (rowBytes + 1));
        std::swap(cur, prev);
    }

    QByteArray file;
    file.reserve(filteredBytes / 2 + 128);
    file.append("\x89PNG\r\n\x1a\n", 8);
    Byte header[13] = {};
    qToBigEndian<quint32>(quint32(width), header);
    qToBigEndian<quint32>(quint32(height), header + 4);
    header[8] = 8; // bits per channel; compression, filter method and interlace stay 0
    header[9] = layout.colourType;
    appendChunk(file, "IHDR", header, sizeof header);
    if (image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0) {
        Byte physical[9] = {};
        qToBigEndian<quint32>(quint32(image.dotsPerMeterX()), physical);
        qToBigEndian<quint32>(quint32(image.dotsPerMeterY()), physical + 4);
        physical[8] = 1; // the unit is the metre
        appendChunk(file, "pHYs", physical, sizeof physical);
    }
    const qsizetype idat = file.size();
    file.append("\0\0\0\0IDAT", 8);
    compressInto(file,
                 QByteArrayView(reinterpret_cast<const char *>(filtered.data()), filteredBytes));
    closeChunk(file, idat);
    appendChunk(file, "IEND", nullptr, 0);
    return file;
}

} // namespace

bool PngEncoder::takes(QImage::Format format) {
    switch (format) {
    case QImage::Format_Grayscale8:
    case QImage::Format_RGB32:
    case QImage::Format_RGB888:
    case QImage::Format_BGR888:
    case QImage::Format_RGBX8888:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
        return true;
    default:
        return false;
    }
}

platform::Expected<QByteArray> PngEncoder::encode(const QImage &image) {
    if (image.isNull() || !takes(image.format()))
        return pngError(QStringLiteral("no 8-bit grey, RGB or RGBA image"));
    try {
        // The formats read row by row as they are; the rest are converted to one of them first.
        QImage taken = image;
        if (image.format() == QImage::Format_BGR888 || image.format() == QImage::Format_RGBX8888)
            taken = image.convertToFormat(QImage::Format_RGB888);
        else if (image.format() == QImage::Format_ARGB32_Premultiplied)
            taken = image.convertToFormat(QImage::Format_ARGB32);
        else if (image.format() == QImage::Format_RGBA8888_Premultiplied)
            taken = image.convertToFormat(QImage::Format_RGBA8888);
        if (taken.isNull()) // the conversion found no memory
            throw std::bad_alloc();
        return encodeTaken(taken);
    } catch (const std::bad_alloc &) {
        return pngError(QStringLiteral("out of memory"));
    }
}

QByteArray PngEncoder::compress(QByteArrayView data) {
    QByteArray out;
    compressInto(out, data);
    return out;
}
