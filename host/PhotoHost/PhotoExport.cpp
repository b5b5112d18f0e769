// Reading a photo and writing it as a PNG scratch file. Runs on the export thread.

#include "PhotoHost.h"
#include "PhotoHostLog.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QMutexLocker>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A photo file that notes how its decoder read it. Some decoders take a file that ends early
// for a whole one: the JPEG reader asks past the end and fills the rest with grey, the BMP
// reader stops at a short read and leaves the rest of the picture as whatever the memory held
// before. Either would go up as if it were the photo. Unbuffered, so each read is the
// decoder's own request.
class PhotoFile : public QFile {
public:
    // The decoder asked for bytes at the end of the file.
    bool askedPastEnd() const { return mAskedPastEnd; }
    // A read got fewer bytes than asked for.
    bool readShort() const { return mReadShort; }

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        const qint64 n = QFile::readData(data, maxSize);
        if (n == 0 && maxSize > 0)
            mAskedPastEnd = true;
        else if (n >= 0 && n < maxSize)
            mReadShort = true;
        return n;
    }

private:
    bool mAskedPastEnd = false;
    bool mReadShort = false;
};

// Opens `path` for reading only when it is a regular file: a FIFO or a device in the list
// would otherwise block the export thread, or feed it without end.
bool openRegularFile(const QString &path, QFile &file, QString *why) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *why = error == ENOENT
                   ? QStringLiteral("%1: no such file").arg(path)
                   : QStringLiteral("%1: cannot be read: %2").arg(path, systemError(error));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *why = QStringLiteral("%1: not a regular file").arg(path);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Looks at the header only: no pixel is decoded here.
bool inspect(QImageReader &reader, const QString &path, QString *why) {
    if (!reader.canRead()) {
        *why = QStringLiteral("%1: not an image that can be read").arg(path);
        return false;
    }
    const QSize size = reader.size();
    if (size.isEmpty()) {
        // Without the size up front the pixel limit cannot be kept.
        *why = QStringLiteral("%1: the image does not tell its size").arg(path);
        return false;
    }
    if (qint64(size.width()) * size.height() > PhotoHost::kMaxPixels) {
        *why = QStringLiteral("%1: too large (%2 x %3 pixels, the limit is %4 megapixels)")
                   .arg(path)
                   .arg(size.width())
                   .arg(size.height())
                   .arg(PhotoHost::kMaxPixels / 1'000'000);
        return false;
    }
    return true;
}

QImage readPhoto(const QString &path, QSize box, QString *why) {
    PhotoFile file;
    if (!openRegularFile(path, file, why))
        return {};
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    if (!inspect(reader, path, why))
        return {};
    // The BMP reader reads each row whole: a short read is a row the file does not hold. The
    // others read in chunks, whose last one is short in a whole file too.
    const bool readsWholeRows = reader.format() == "bmp";
    // The reader's size is the stored one; the EXIF turn comes after decoding, and so does
    // a handler's scaling, so the scaled size is asked for in stored orientation.
    const QSize stored = reader.size();
    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    const QSize target = PhotoHost::fitInside(turned ? stored.transposed() : stored, box);
    const QSize decoded = turned ? target.transposed() : target;
    if (decoded != stored && reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(decoded);
    QImage image;
    if (!reader.read(&image)) {
        *why = QStringLiteral("%1: cannot be decoded: %2").arg(path, reader.errorString());
        return {};
    }
    if (file.askedPastEnd() || (readsWholeRows && file.readShort())) {
        *why = QStringLiteral("%1: cut short: the file ends before the image does").arg(path);
        return {};
    }
    if (image.size() != target)
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

// The same pixels without anything else: no text (a JPEG comment, a PNG text chunk), no
// colour profile. The pixels are moved to sRGB first, which is what a PNG without colour
// chunks means.
QImage withoutMetadata(QImage image) {
    const QColorSpace space = image.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb)) {
        switch (image.format()) {
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32:
        case QImage::Format_ARGB32_Premultiplied:
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
        case QImage::Format_RGBA64_Premultiplied:
            break;
        default:
            image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                  : QImage::Format_RGB32);
        }
        image.convertToColorSpace(QColorSpace::SRgb);
    }
    // A fresh image over the same bits carries none of the original's attributes.
    QImage bare(image.constBits(), image.width(), image.height(), image.bytesPerLine(),
                image.format());
    if (image.colorCount() > 0)
        bare.setColorTable(image.colorTable());
    bare.setDotsPerMeterX(2835); // 72 dpi, so the file does not depend on the screen
    bare.setDotsPerMeterY(2835);
    return bare.copy();
}

bool makeFolders(const QByteArray &path) {
    for (qsizetype end = 1; end <= path.size(); ++end) {
        if (end < path.size() && path.at(end) != '/')
            continue;
        const QByteArray prefix = path.left(end);
        if (::mkdir(prefix.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// The folder must be ours: in a folder that another user can write to, or that they own, a
// file could be swapped under us between the write and the read that follows.
bool prepareFolder(const QString &folder, QString *why) {
    const QByteArray name = QFile::encodeName(folder);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0) {
        if (errno != ENOENT || !makeFolders(name) || ::lstat(name.constData(), &st) != 0) {
            const int error = errno;
            *why =
                QStringLiteral("%1: cannot create the folder: %2").arg(folder, systemError(error));
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != ::geteuid()) {
            *why = QStringLiteral("%1: refused: a link owned by another user").arg(folder);
            return false;
        }
        if (::stat(name.constData(), &st) != 0) {
            const int error = errno;
            *why = QStringLiteral("%1: %2").arg(folder, systemError(error));
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = QStringLiteral("%1: not a folder").arg(folder);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *why = QStringLiteral("%1: refused: the folder belongs to another user").arg(folder);
        return false;
    }
    return true;
}

// zlib level 4 (the writer's quality maps 0..100 onto levels 9..0). On photos it makes files
// no larger than the default level 6 does, in a third of the time: past level 4 the longer match
// search finds almost nothing more in the noise that photos carry.
constexpr int kPngQuality = 55;

QByteArray encodePng(const QImage &image, QString *why) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(kPngQuality);
    if (!writer.write(image)) {
        *why = QStringLiteral("cannot make the PNG file: %1").arg(writer.errorString());
        return {};
    }
    return buffer.data();
}

bool writeFile(const QByteArray &png, const QString &dest, QString *why) {
    const QFileInfo info(dest);
    const QString fileName = info.fileName();
    const QString folder = QDir::cleanPath(info.absolutePath());
    if (fileName.isEmpty()) {
        *why = QStringLiteral("%1: no file name").arg(dest);
        return false;
    }
    if (!prepareFolder(folder, why))
        return false;

    // Created with O_EXCL and mode 0600 under an unpredictable name; the rename then replaces
    // whatever sits at `dest` (a planted link included) instead of writing through it.
    QTemporaryFile temporary(folder + QStringLiteral("/.") + fileName + QStringLiteral(".XXXXXX"));
    if (!temporary.open()) {
        *why = QStringLiteral("%1: cannot write in the folder: %2")
                   .arg(folder, temporary.errorString());
        return false;
    }
    if (temporary.write(png) != png.size()) {
        *why =
            QStringLiteral("%1: cannot write the PNG file: %2").arg(dest, temporary.errorString());
        return false;
    }
    temporary.close();
    if (temporary.error() != QFileDevice::NoError) {
        *why =
            QStringLiteral("%1: cannot write the PNG file: %2").arg(dest, temporary.errorString());
        return false;
    }
    const QByteArray from = QFile::encodeName(temporary.fileName());
    const QByteArray to = QFile::encodeName(folder + QLatin1Char('/') + fileName);
    if (::rename(from.constData(), to.constData()) != 0) {
        const int error = errno;
        *why = QStringLiteral("%1: cannot put the file in place: %2").arg(dest, systemError(error));
        return false;
    }
    temporary.setAutoRemove(false);
    return true;
}

} // namespace

std::optional<QString> PhotoHost::checkImageFile(const QString &path) {
    QString why;
    QFile file;
    if (!openRegularFile(path, file, &why))
        return why;
    QImageReader reader(&file);
    if (!inspect(reader, path, &why))
        return why;
    return std::nullopt;
}

QSize PhotoHost::fitInside(QSize size, QSize box) {
    if (size.isEmpty())
        return size;
    const qint64 w = size.width();
    const qint64 h = size.height();
    const qint64 boxW = box.width() > 0 ? box.width() : w;
    const qint64 boxH = box.height() > 0 ? box.height() : h;
    if (w <= boxW && h <= boxH)
        return size;
    if (w * boxH >= h * boxW) // the width is the tighter bound
        return QSize(int(boxW), int(std::max<qint64>(1, (h * boxW + w / 2) / w)));
    return QSize(int(std::max<qint64>(1, (w * boxH + h / 2) / h)), int(boxH));
}

bool PhotoHost::exportImageAtIndex(int index, const QString &dest,
                                   const ImageExportSettings *options) {
    QString why;
    QString source;
    {
        QMutexLocker lock(&m_filesMutex);
        if (index >= 0 && index < m_files.size())
            source = m_files.at(index);
    }
    if (!options)
        why = QStringLiteral("no export settings");
    else if (options->format != kFormatPNG)
        why = QStringLiteral("format 0x%1 is not supported").arg(options->format, 8, 16);
    else if (source.isNull())
        why = QStringLiteral("no photo at index %1").arg(index);
    else if (dest.isEmpty())
        why = QStringLiteral("no destination");
    if (!why.isEmpty()) {
        qCWarning(lcPhotoHost).noquote() << "photo not exported:" << why;
        QMutexLocker lock(&m_filesMutex);
        m_exportFailure = why;
        return false;
    }

    // The next photo is converted meanwhile, on a thread of its own, so that its conversion
    // runs while this one is written and uploaded.
    const QSize box(options->width, options->height);
    std::future<Converted> ready, outdated;
    {
        QMutexLocker lock(&m_filesMutex);
        if (m_ahead.result.valid() && m_ahead.index == index && m_ahead.source == source &&
            m_ahead.box == box && m_ahead.generation == m_generation)
            ready = std::move(m_ahead.result);
        else
            outdated = std::move(m_ahead.result);
        m_ahead = Ahead{};
        if (index + 1 < m_files.size()) {
            const QString next = m_files.at(index + 1);
            try {
                m_ahead.result = std::async(std::launch::async, &PhotoHost::convert, next, box);
                m_ahead.index = index + 1;
                m_ahead.source = next;
                m_ahead.box = box;
                m_ahead.generation = m_generation;
            } catch (const std::system_error &) {
                // No thread to spare: the next photo is converted at its own call.
            }
        }
    }
    outdated = {}; // waits for a conversion nobody wants any more, outside the lock

    const Converted converted = ready.valid() ? ready.get() : convert(source, box);
    why = converted.why;
    if (converted.png.isEmpty() || !writeFile(converted.png, dest, &why)) {
        qCWarning(lcPhotoHost).noquote() << "photo" << index << "not exported:" << why;
        QMutexLocker lock(&m_filesMutex);
        m_exportFailure = why;
        return false;
    }
    return true;
}

QString PhotoHost::exportFailure() const {
    QMutexLocker lock(&m_filesMutex);
    return m_exportFailure;
}

PhotoHost::Converted PhotoHost::convert(const QString &source, QSize box) {
    Converted converted;
    const QImage image = readPhoto(source, box, &converted.why);
    if (!image.isNull())
        converted.png = encodePng(withoutMetadata(image), &converted.why);
    return converted;
}
