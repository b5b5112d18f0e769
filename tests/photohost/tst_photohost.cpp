#include "PhotoHost.h"
#include "PngEncoder.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const ImageExportSettings kPng{kFormatPNG, 1, 0.0f, 640, 640, 3};

// Blue with a red block in the top-left corner, so a turn or a mirror shows, and fine stripes in
// the bottom-right one, which a decode squashed one way and stretched back the other blurs.
QImage markedImage(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::blue);
    for (int y = 0; y < size.height() / 2; ++y)
        for (int x = 0; x < size.width() / 4; ++x)
            image.setPixel(x, y, qRgb(255, 0, 0));
    for (int y = size.height() / 2; y < size.height(); ++y)
        for (int x = size.width() / 2; x < size.width(); ++x)
            image.setPixel(x, y, (x / 6) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    return image;
}

QByteArray encode(QImage image, const char *format) {
    image.setText(QStringLiteral("Location"), QStringLiteral("51.5007,-0.1246"));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// An EXIF APP1 segment holding only the orientation tag (big-endian TIFF, one IFD entry of
// type SHORT), right after the SOI marker.
QByteArray withOrientation(const QByteArray &jpeg, int orientation) {
    QByteArray app1("\xff\xe1\0\x22"
                    "Exif\0\0MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\0\0\0\0\0\0\0",
                    36);
    app1[29] = char(orientation);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

// A valid JPEG whose frame header claims `size`: the header says one thing, the data little.
QByteArray jpegClaiming(QSize size) {
    QByteArray jpeg = encode(markedImage(QSize(16, 16)), "JPEG");
    const qsizetype sof = jpeg.indexOf(QByteArray("\xff\xc0", 2));
    qToBigEndian<quint16>(quint16(size.height()), jpeg.data() + sof + 5);
    qToBigEndian<quint16>(quint16(size.width()), jpeg.data() + sof + 7);
    return jpeg;
}

// Mean difference per channel, 0 to 255.
double difference(const QImage &a, const QImage &b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum +=
                qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

mode_t modeOf(const QString &path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

} // namespace

class TestPhotoHost : public QObject {
    Q_OBJECT
private:
    QTemporaryDir mDir;
    QString path(const QString &name) const { return mDir.filePath(name); }
    QString photo(const QString &name, const QByteArray &bytes) {
        writeFile(path(name), bytes);
        return path(name);
    }

private Q_SLOTS:
    void scaling_data() {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("stored");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("expected");
        const auto row = [](const char *name, const char *format, QSize stored, int orientation,
                            QSize box, QSize expected) {
            QTest::newRow(name) << QByteArray(format) << stored << orientation << box << expected;
        };
        row("portrait png", "PNG", {1200, 1600}, 1, {640, 640}, {480, 640});
        row("landscape jpeg, short side rounded", "JPEG", {900, 700}, 1, {640, 640}, {640, 498});
        row("small is not enlarged", "PNG", {200, 120}, 1, {640, 640}, {200, 120});
        row("narrow strip", "PNG", {3000, 20}, 1, {640, 640}, {640, 4});
        row("exif 6 turns right", "JPEG", {1600, 800}, 6, {640, 640}, {320, 640});
        row("exif 8 turns left", "JPEG", {1600, 800}, 8, {640, 640}, {320, 640});
        // The box is bounded in upright terms: a reduced decode asked for in upright terms
        // would come out 640 wide here.
        row("exif 6 in a flat box", "JPEG", {1600, 800}, 6, {640, 320}, {160, 320});
        row("small exif 6 only turns", "JPEG", {300, 200}, 6, {640, 640}, {200, 300});
    }
    void scaling() {
        QFETCH(QByteArray, format);
        QFETCH(QSize, stored);
        QFETCH(int, orientation);
        QFETCH(QSize, box);
        QFETCH(QSize, expected);
        const int turn = orientation == 6 ? 90 : orientation == 8 ? 270 : 0; // to upright
        QImage source = markedImage(stored);
        if (format == "PNG") // a profile that would travel in an iCCP chunk
            source.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
        QByteArray bytes = encode(source, format);
        if (orientation != 1)
            bytes = withOrientation(bytes, orientation);
        PhotoHost host;
        host.setImageFiles({photo(QStringLiteral("in"), bytes)});
        ImageExportSettings options = kPng;
        options.width = box.width();
        options.height = box.height();
        const QString out = path(QStringLiteral("out/sfe-0.png"));
        QVERIFY(host.exportImageAtIndex(0, out, &options));
        QImageReader reader(out);
        QCOMPARE(reader.format(), QByteArray("png"));
        const QImage written = reader.read().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(written.size(), expected);
        const QImage upright = markedImage(stored).transformed(QTransform().rotate(turn));
        QVERIFY2(difference(written, upright.scaled(expected, Qt::IgnoreAspectRatio,
                                                    Qt::SmoothTransformation)) < 8,
                 "the photo is turned, mirrored or squashed");
        // Nothing of the original's metadata: its place, its profile, its time.
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray png = file.readAll();
        for (const char *chunk : {"tEXt", "zTXt", "iTXt", "eXIf", "iCCP", "tIME"})
            QVERIFY2(!png.contains(chunk), chunk);
    }

    // Smooth ramps with a little noise, so that each row filter wins some rows; `noise` 255 makes
    // pixels that do not compress.
    void pngEncoder_data() {
        QTest::addColumn<QImage>("image");
        const auto painted = [](QSize size, QImage::Format format, int noise = 6) {
            QImage image(size, format);
            QRandomGenerator random(size.width());
            const auto at = [&](int base) {
                return (base + random.bounded(noise + 1)) & 255;
            };
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x)
                    image.setPixelColor(
                        x, y, QColor(at(x * 3), at(y * 5), at(x + y), at(y * 200 / size.height())));
            image.setDotsPerMeterX(2835);
            image.setDotsPerMeterY(2835);
            return image;
        };
        QTest::newRow("opaque RGB32, several blocks") << painted({200, 150}, QImage::Format_RGB32);
        QTest::newRow("ARGB32, partly transparent") << painted({40, 30}, QImage::Format_ARGB32);
        QTest::newRow("premultiplied") << painted({40, 30}, QImage::Format_ARGB32_Premultiplied);
        QTest::newRow("grey, padded rows") << painted({3, 5}, QImage::Format_Grayscale8);
        QTest::newRow("RGB888, padded rows") << painted({3, 5}, QImage::Format_RGB888);
        QTest::newRow("RGBX8888") << painted({9, 4}, QImage::Format_RGBX8888);
        QTest::newRow("one RGBA8888 pixel") << painted({1, 1}, QImage::Format_RGBA8888);
        QTest::newRow("noise, stored as it is") << painted({200, 150}, QImage::Format_RGB32, 255);
    }
    void pngEncoder() {
        QFETCH(QImage, image);
        const platform::Expected<QByteArray> png = PngEncoder::encode(image);
        QVERIFY(png);
        QImage decoded;
        QVERIFY(decoded.loadFromData(*png, "PNG"));
        QCOMPARE(decoded.convertToFormat(QImage::Format_ARGB32),
                 image.convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(decoded.dotsPerMeterY(), 2835);
        QByteArrayList chunks;
        qsizetype at = 8;
        for (; at + 8 <= png->size(); at += 12 + qFromBigEndian<quint32>(png->constData() + at))
            chunks.append(png->mid(at + 4, 4));
        QCOMPARE(at, png->size());
        QCOMPARE(chunks.join(' '), QByteArray("IHDR pHYs IDAT IEND"));
    }

    void pngCompress_data() {
        QTest::addColumn<QByteArray>("data");
        QByteArray fibonacci; // byte i 1, 2, 3, 5, 8, ... times: a Huffman code 20 bits deep
        for (int i = 0, count = 1, next = 2; i < 20; ++i, count = std::exchange(next, count + next))
            fibonacci += QByteArray(count, char(i));
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("one byte value") << QByteArray(40000, 'x');
        QTest::newRow("code lengths limited to 15 bits") << fibonacci;
    }
    void pngCompress() {
        QFETCH(QByteArray, data);
        QByteArray stream(4, '\0');
        qToBigEndian<quint32>(quint32(data.size()), stream.data());
        const QByteArray compressed = PngEncoder::compress(data);
        QCOMPARE(qUncompress(stream + compressed), data);
        QVERIFY(compressed.size() <= data.size() / 2 + 16); // every row here compresses
    }

    // What is not a sound photo, or not a sound request, writes nothing. The program-level
    // refusals (files cut short, links, FIFOs, folders, bombs, unreadable files) are the
    // hostile-input rows.
    void refusals_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("index");
        QTest::addColumn<quint32>("format"); // 0: no settings at all
        QTest::addColumn<bool>("checkRefuses");
        const QByteArray png = encode(markedImage(QSize(64, 48)), "PNG");
        QTest::newRow("index past the end") << png << 1 << kFormatPNG << false;
        QTest::newRow("negative index") << png << -1 << kFormatPNG << false;
        QTest::newRow("no settings") << png << 0 << 0u << false;
        QTest::newRow("JPEG format asked") << png << 0 << fourCharCode("JPEG") << false;
        QTest::newRow("garbage after a jpeg marker")
            << QByteArray("\xff\xd8\xff\xe0 garbage garbage garbage") << 0 << kFormatPNG << true;
        // Regression: decoded at a reduced size, such a file was turned into a grey PNG.
        QTest::newRow("jpeg claiming 208 megapixels")
            << jpegClaiming(QSize(16000, 13000)) << 0 << kFormatPNG << true;
        QTest::newRow("ppm claiming 210 megapixels")
            << QByteArray("P6\n15000 14000\n255\nxyz") << 0 << kFormatPNG << true;
    }
    void refusals() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, index);
        QFETCH(quint32, format);
        QFETCH(bool, checkRefuses);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const QString input = photo(tag, bytes);
        PhotoHost host;
        host.setImageFiles({input});
        ImageExportSettings options = kPng;
        options.format = format;
        const QString folder = path(tag + QStringLiteral(" out"));
        QVERIFY(!host.exportImageAtIndex(index, folder + QStringLiteral("/sfe-0.png"),
                                         format ? &options : nullptr));
        QVERIFY(QDir(folder)
                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                    .isEmpty());
        const platform::MaybeError why = PhotoHost::checkImageFile(input);
        QCOMPARE(why.has_value(), checkRefuses);
        if (why)
            QVERIFY(why->localizedDescription.startsWith(input) &&
                    !why->localizedDescription.contains(QLatin1Char('\n')));
    }

    // Each row prepares the folder "<tag>" and has photo 0 written as "<tag>/sfe-1.png".
    void destinations_data() {
        QTest::addColumn<bool>("written");
        QTest::newRow("link planted at the name") << true;
        QTest::newRow("dangling link planted at the name") << true;
        QTest::newRow("missing folders") << true;
        QTest::newRow("a directory at the name") << false;
        QTest::newRow("folder of another user") << false;
    }
    void destinations() {
        QFETCH(bool, written);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        QString folder = path(tag);
        const QString victim = path(tag + QStringLiteral(" victim"));
        if (tag.startsWith(QLatin1String("link"))) {
            QVERIFY(writeFile(victim, "precious"));
            QVERIFY(QDir().mkpath(folder) && QFile::link(victim, folder + "/sfe-1.png"));
        } else if (tag.startsWith(QLatin1String("dangling"))) {
            QVERIFY(QDir().mkpath(folder) && QFile::link(victim, folder + "/sfe-1.png"));
        } else if (tag.startsWith(QLatin1String("missing"))) {
            folder += QStringLiteral("/deeper");
        } else if (tag.startsWith(QLatin1String("a directory"))) {
            QVERIFY(QDir().mkpath(folder + "/sfe-1.png"));
        } else {
            if (::geteuid() != 0)
                QSKIP("a folder owned by another user needs root to make");
            QVERIFY(QDir().mkpath(folder));
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        }
        PhotoHost host;
        host.setImageFiles({photo(QStringLiteral("p.png"), encode(markedImage({50, 40}), "PNG"))});
        const QString dest = folder + QStringLiteral("/sfe-1.png");
        QCOMPARE(host.exportImageAtIndex(0, dest, &kPng), written);
        if (written) {
            QCOMPARE(QImage(dest).size(), QSize(50, 40));
            QVERIFY(!QFileInfo(dest).isSymLink());
            QCOMPARE(modeOf(dest), mode_t(0600));
            QCOMPARE(modeOf(folder), modeOf(path(tag)));
        }
        QFile original(victim); // never written through, never created
        QCOMPARE(original.open(QIODevice::ReadOnly) ? original.readAll() : QByteArray(),
                 QByteArray(tag.startsWith(QLatin1String("link")) ? "precious" : ""));
        if (tag.startsWith(QLatin1String("missing")))
            QCOMPARE(modeOf(folder), mode_t(0700));
        if (QFileInfo(folder).isDir()) // no temporary file left behind
            QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                     written ? QStringList{QStringLiteral("sfe-1.png")} : QStringList());
    }

    // The next photo is converted while the current one is handled; that conversion must never
    // stand in for a photo asked for at another size, or for a file changed since it began.
    void convertedAhead_data() {
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<int>("box");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("same list, same size") << false << 640 << QSize(50, 40);
        QTest::newRow("photo rewritten since") << true << 640 << QSize(30, 20);
        QTest::newRow("another size asked") << false << 10 << QSize(10, 8);
    }
    void convertedAhead() {
        QFETCH(bool, replaced);
        QFETCH(int, box);
        QFETCH(QSize, expected);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        // The first photo takes long to convert, so the second one's conversion has ended by
        // the time it is replaced.
        static const QByteArray slow = encode(markedImage({2400, 1800}), "PNG");
        const QString first = photo(tag + QStringLiteral(" a.png"), slow);
        const QString second =
            photo(tag + QStringLiteral(" b.png"), encode(markedImage({50, 40}), "PNG"));
        PhotoHost host;
        host.setImageFiles({first, second});
        const QString out = path(tag + QStringLiteral(" out"));
        QVERIFY(host.exportImageAtIndex(0, out + QStringLiteral("/sfe-0.png"), &kPng));
        if (replaced)
            QVERIFY(writeFile(second, encode(markedImage({30, 20}), "PNG")));
        ImageExportSettings options = kPng;
        options.width = options.height = box;
        QVERIFY(host.exportImageAtIndex(1, out + QStringLiteral("/sfe-1.png"), &options));
        QCOMPARE(QImage(out + QStringLiteral("/sfe-1.png")).size(), expected);
    }
};

QTEST_GUILESS_MAIN(TestPhotoHost)
#include "tst_photohost.moc"
