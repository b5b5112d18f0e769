#pragma once

#include "Error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QImage>

// A PNG writer for the pictures the photo host hands on: 8 bits per channel, grey, RGB or RGBA,
// each row filtered by the predictor that suits it best, the filtered rows coded as literals
// without matches. Safe to call from any thread; calls share nothing.
namespace PngEncoder {

// The largest image encode() takes: its pixel bytes, and a filter byte before each row.
constexpr qint64 kMaxFilteredBytes = qint64(1) << 30;

// Whether encode() writes images of this format with every bit kept: the 8-bit grey, RGB and
// RGBA formats. Deeper formats and colour tables are not taken.
bool takes(QImage::Format format);

// The image as a PNG file holding the signature, IHDR, pHYs (only when the image has both dots
// per metre), one IDAT and IEND; nothing else, no colour profile among it, so the pixels
// are taken as sRGB. An image with an alpha channel is written as straight (not premultiplied)
// RGBA, an opaque one as RGB, Grayscale8 as grey. Fails for a format takes() refuses, a null
// image, an image above kMaxFilteredBytes and a lack of memory.
platform::Expected<QByteArray> encode(const QImage &image);

// `data` as a zlib stream of literals only, in blocks of 32 KiB, each with a Huffman code of its
// own or stored as it is when that is smaller: the IDAT chunk's contents. Throws std::bad_alloc.
QByteArray compress(QByteArrayView data);

} // namespace PngEncoder
