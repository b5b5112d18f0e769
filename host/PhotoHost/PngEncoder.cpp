#include "PngEncoder.h"

#include <QtEndian>

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

using Byte = unsigned char;

// One IDAT chunk per 64 KiB of compressed data: a chunk's length may not pass 2^31 - 1, and
// more chunks than one per 64 KiB would only add 12 bytes each.
constexpr qsizetype kIdatBytes = 64 * 1024;

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

void appendChunk(QByteArray &file, const char type[4], const Byte *data, qsizetype size) {
    Byte length[4];
    qToBigEndian<quint32>(quint32(size), length);
    file.append(reinterpret_cast<const char *>(length), 4);
    const qsizetype start = file.size();
    file.append(type, 4);
    file.append(reinterpret_cast<const char *>(data), size);
    Byte crc[4];
    qToBigEndian<quint32>(
        libdeflate_crc32(0, file.constData() + start, size_t(file.size() - start)), crc);
    file.append(reinterpret_cast<const char *>(crc), 4);
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

platform::Expected<QByteArray> encodeTaken(const QImage &image, int level) {
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

    const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(level));
    if (!compressor)
        return pngError(QStringLiteral("no compressor at level %1").arg(level));
    std::vector<Byte> zlib(libdeflate_zlib_compress_bound(compressor.get(), size_t(filteredBytes)));
    const size_t zlibBytes = libdeflate_zlib_compress(compressor.get(), filtered.data(),
                                                      filtered.size(), zlib.data(), zlib.size());
    if (zlibBytes == 0)
        return pngError(QStringLiteral("the compressed pixels overflow their bound"));
    filtered = {};

    QByteArray file;
    file.reserve(qsizetype(zlibBytes) + qsizetype(zlibBytes) / kIdatBytes * 12 + 128);
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
    for (size_t at = 0; at < zlibBytes; at += kIdatBytes)
        appendChunk(file, "IDAT", zlib.data() + at,
                    qsizetype(std::min<size_t>(kIdatBytes, zlibBytes - at)));
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

platform::Expected<QByteArray> PngEncoder::encode(const QImage &image, int level) {
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
        return encodeTaken(taken, level);
    } catch (const std::bad_alloc &) {
        return pngError(QStringLiteral("out of memory"));
    }
}
