#include "Inputs.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QSaveFile>

#include <array>
#include <cmath>
#include <vector>

namespace bench {

namespace {

// Bump when the pictures change, so that old files are made again.
constexpr int kRecipe = 1;

struct Random {
    quint32 state;
    quint32 next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

quint8 clamp(int value) {
    return quint8(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Photo i: which way it is stored and how it is turned upright.
//   0, 1: landscape; 2: portrait; 3: landscape stored, EXIF 6 (turn right);
//   4: landscape stored, EXIF 8 (turn left) or 3 (upside down) every other time.
int orientationOf(int i) {
    switch (i % 5) {
    case 3:
        return 6;
    case 4:
        return (i / 5) % 2 == 0 ? 8 : 3;
    default:
        return 1;
    }
}

QImage picture(int i, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    Random random{0x9e3779b9u ^ quint32(i * 2654435761u)};
    static constexpr std::array<int, 4> kNoise{3, 8, 16, 40};
    const int noise = kNoise[size_t(i % 4)];
    const int w = size.width();
    const int h = size.height();
    // A band pattern per row and column, from tables, so the loop stays cheap.
    std::vector<int> bandX(static_cast<size_t>(w)), bandY(static_cast<size_t>(h));
    const double fx = 0.004 + 0.002 * (i % 7), fy = 0.003 + 0.0025 * (i % 5);
    for (int x = 0; x < w; ++x)
        bandX[size_t(x)] = int(28 * std::sin(x * fx + i));
    for (int y = 0; y < h; ++y)
        bandY[size_t(y)] = int(28 * std::cos(y * fy + 2 * i));
    const int turn = i % 3;
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        const int gy = y * 255 / h;
        for (int x = 0; x < w; ++x) {
            const int gx = x * 255 / w;
            const int band = bandX[size_t(x)] + bandY[size_t(y)];
            const quint32 r = random.next();
            const int n1 = int(r & 0xff) * noise / 128 - noise;
            const int n2 = int((r >> 8) & 0xff) * noise / 128 - noise;
            const int n3 = int((r >> 16) & 0xff) * noise / 128 - noise;
            const int a = turn == 0 ? gx : turn == 1 ? gy : (gx + gy) / 2;
            const int b = turn == 0 ? gy : 255 - gx;
            line[x] = qRgb(clamp(a + band + n1), clamp(b - band / 2 + n2),
                           clamp(160 - a / 2 + band / 3 + n3));
        }
    }
    return image;
}

} // namespace

QByteArray withOrientation(const QByteArray &jpeg, int orientation) {
    if (orientation == 1 || !jpeg.startsWith("\xff\xd8"))
        return jpeg;
    // A big-endian TIFF header and one directory with one entry: 0x0112, SHORT, 1 value.
    QByteArray exif("Exif\0\0", 6);
    const unsigned char tiff[] = {'M',  'M',
                                  0,    42,
                                  0,    0,
                                  0,    8, // header, directory at 8
                                  0,    1, // one entry
                                  0x01, 0x12,
                                  0,    3,
                                  0,    0,
                                  0,    1, //
                                  0,    quint8(orientation),
                                  0,    0, // the value, left-justified
                                  0,    0,
                                  0,    0}; // no next directory
    exif.append(reinterpret_cast<const char *>(tiff), sizeof tiff);
    const int length = int(exif.size()) + 2;
    QByteArray segment("\xff\xe1", 2);
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(exif);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QList<Photo> makePhotos(const QString &folder, int count, QSize landscape, QString *why) {
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("%1: cannot create the folder").arg(folder);
        return {};
    }
    QList<Photo> photos;
    for (int i = 0; i < count; ++i) {
        const int orientation = orientationOf(i);
        const bool portrait = i % 5 == 2;
        const QSize stored = portrait ? landscape.transposed() : landscape;
        const bool sideways = orientation >= 5;
        Photo photo;
        photo.path = QStringLiteral("%1/photo-%2-r%3-%4x%5.jpg")
                         .arg(folder)
                         .arg(i, 2, 10, QLatin1Char('0'))
                         .arg(kRecipe)
                         .arg(stored.width())
                         .arg(stored.height());
        photo.upright = sideways ? stored.transposed() : stored;
        photo.orientation = orientation;
        photos.append(photo);
        if (QFile::exists(photo.path))
            continue;

        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(90);
        if (!writer.write(picture(i, stored))) {
            *why = QStringLiteral("cannot make a JPEG: %1").arg(writer.errorString());
            return {};
        }
        QSaveFile file(photo.path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(withOrientation(buffer.data(), orientation)) < 0 || !file.commit()) {
            *why = QStringLiteral("%1: %2").arg(photo.path, file.errorString());
            return {};
        }
    }
    return photos;
}

QString makeText(qsizetype length) {
    static const char16_t kAccented[] = u"áéíóúñüçàèÁÉÍÓÚÑßøå";
    QString text(length, Qt::Uninitialized);
    char16_t *units = reinterpret_cast<char16_t *>(text.data());
    Random random{12345};
    qsizetype word = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const quint32 r = random.next();
        if (word == 0) {
            units[i] = u' ';
            word = 2 + qsizetype(r % 9);
            continue;
        }
        --word;
        units[i] = (r >> 8) % 10 == 0 ? kAccented[(r >> 12) % (std::size(kAccented) - 1)]
                                      : char16_t(u'a' + (r >> 16) % 26);
    }
    return text;
}

} // namespace bench
