// Reading a photo and writing it as a PNG scratch file. Runs on the export thread.

#include "PhotoHost.h"
#include "PhotoHostLog.h"
#include "PngEncoder.h"

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

platform::Error photoError(const QString &reason) {
    return platform::Error{QStringLiteral("PhotoHost"), 1, reason};
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
platform::MaybeError openRegularFile(const QString &path, QFile &file) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return photoError(
            error == ENOENT
                ? QStringLiteral("%1: no such file").arg(path)
                : QStringLiteral("%1: cannot be read: %2").arg(path, systemError(error)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return photoError(QStringLiteral("%1: not a regular file").arg(path));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return photoError(QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString()));
    }
    return std::nullopt;
}

// Looks at the header only: no pixel is decoded here.
platform::MaybeError inspect(QImageReader &reader, const QString &path) {
    if (!reader.canRead())
        return photoError(QStringLiteral("%1: not an image that can be read").arg(path));
    const QSize size = reader.size();
    // Without the size up front the pixel limit cannot be kept.
    if (size.isEmpty())
        return photoError(QStringLiteral("%1: the image does not tell its size").arg(path));
    if (qint64(size.width()) * size.height() > PhotoHost::kMaxPixels)
        return photoError(
            QStringLiteral("%1: too large (%2 x %3 pixels, the limit is %4 megapixels)")
                .arg(path)
                .arg(size.width())
                .arg(size.height())
                .arg(PhotoHost::kMaxPixels / 1'000'000));
    return std::nullopt;
}

platform::Expected<QImage> readPhoto(const QString &path, QSize box) {
    PhotoFile file;
    if (platform::MaybeError error = openRegularFile(path, file))
        return *error;
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    if (platform::MaybeError error = inspect(reader, path))
        return *error;
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
    if (!reader.read(&image))
        return photoError(
            QStringLiteral("%1: cannot be decoded: %2").arg(path, reader.errorString()));
    if (file.askedPastEnd() || (readsWholeRows && file.readShort()))
        return photoError(
            QStringLiteral("%1: cut short: the file ends before the image does").arg(path));
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
platform::MaybeError prepareFolder(const QString &folder) {
    const QByteArray name = QFile::encodeName(folder);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 &&
        (errno != ENOENT || !makeFolders(name) || ::lstat(name.constData(), &st) != 0)) {
        const int error = errno;
        return photoError(
            QStringLiteral("%1: cannot create the folder: %2").arg(folder, systemError(error)));
    }
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != ::geteuid())
            return photoError(
                QStringLiteral("%1: refused: a link owned by another user").arg(folder));
        if (::stat(name.constData(), &st) != 0) {
            const int error = errno;
            return photoError(QStringLiteral("%1: %2").arg(folder, systemError(error)));
        }
    }
    if (!S_ISDIR(st.st_mode))
        return photoError(QStringLiteral("%1: not a folder").arg(folder));
    if (st.st_uid != ::geteuid())
        return photoError(
            QStringLiteral("%1: refused: the folder belongs to another user").arg(folder));
    return std::nullopt;
}

// For what the fast encoder does not take (16-bit channels, colour tables): zlib level 4 (the
// writer's quality maps 0..100 onto levels 9..0), as small as the default level 6 on photos in a
// third of the time.
constexpr int kPngQuality = 55;

// The largest photo the host reads fits the fast encoder: four bytes a pixel, and at worst (a
// column of single pixels) one filter byte for each.
static_assert(PhotoHost::kMaxPixels * 5 <= PngEncoder::kMaxFilteredBytes);

platform::Expected<QByteArray> encodePng(const QImage &image) {
    if (PngEncoder::takes(image.format()))
        return PngEncoder::encode(image);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(kPngQuality);
    if (!writer.write(image))
        return photoError(QStringLiteral("cannot make the PNG file: %1").arg(writer.errorString()));
    return buffer.data();
}

// Where a file was put, and which file it is.
struct Placed {
    QString path;
    std::optional<struct stat> status; // none when another file took the name at once
};

platform::Expected<Placed> writeFile(const QByteArray &png, const QString &dest) {
    const QFileInfo info(dest);
    const QString fileName = info.fileName();
    const QString folder = QDir::cleanPath(info.absolutePath());
    if (fileName.isEmpty())
        return photoError(QStringLiteral("%1: no file name").arg(dest));
    if (platform::MaybeError error = prepareFolder(folder))
        return *error;

    // Created with O_EXCL and mode 0600 under an unpredictable name; the rename then replaces
    // whatever sits at `dest` (a planted link included) instead of writing through it.
    QTemporaryFile temporary(folder + QStringLiteral("/.") + fileName + QStringLiteral(".XXXXXX"));
    if (!temporary.open())
        return photoError(QStringLiteral("%1: cannot write in the folder: %2")
                              .arg(folder, temporary.errorString()));
    bool written = temporary.write(png) == png.size();
    struct stat st {};
    if (written && ::fstat(temporary.handle(), &st) != 0)
        written = false;
    if (written) {
        temporary.close();
        written = temporary.error() == QFileDevice::NoError;
    }
    if (!written)
        return photoError(
            QStringLiteral("%1: cannot write the PNG file: %2").arg(dest, temporary.errorString()));
    const QByteArray from = QFile::encodeName(temporary.fileName());
    const QByteArray to = QFile::encodeName(folder + QLatin1Char('/') + fileName);
    if (::rename(from.constData(), to.constData()) != 0) {
        const int error = errno;
        return photoError(
            QStringLiteral("%1: cannot put the file in place: %2").arg(dest, systemError(error)));
    }
    temporary.setAutoRemove(false);
    // The status after the rename, which changes the file's ctime.
    const ino_t inode = st.st_ino;
    const bool ours = ::lstat(to.constData(), &st) == 0 && st.st_ino == inode;
    return Placed{QFile::decodeName(to), ours ? std::optional(st) : std::nullopt};
}

} // namespace

platform::MaybeError PhotoHost::checkImageFile(const QString &path) {
    QFile file;
    if (platform::MaybeError error = openRegularFile(path, file))
        return error;
    QImageReader reader(&file);
    return inspect(reader, path);
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
    QString source;
    {
        QMutexLocker lock(&mFilesMutex);
        if (index >= 0 && index < mFiles.size())
            source = mFiles.at(index);
    }
    QString refused;
    if (!options)
        refused = QStringLiteral("no export settings");
    else if (options->format != kFormatPNG)
        refused = QStringLiteral("format 0x%1 is not supported").arg(options->format, 8, 16);
    else if (source.isNull())
        refused = QStringLiteral("no photo at index %1").arg(index);
    else if (dest.isEmpty())
        refused = QStringLiteral("no destination");
    if (!refused.isEmpty()) {
        qCWarning(lcPhotoHost).noquote() << "photo not exported:" << refused;
        QMutexLocker lock(&mFilesMutex);
        mExportFailure = photoError(refused);
        return false;
    }

    // The next photo is converted meanwhile, on a thread of its own, so that its conversion
    // runs while this one is written and uploaded.
    const QSize box(options->width, options->height);
    const FileStamp stamp = stampOf(source);
    std::future<Converted> ready, outdated;
    {
        QMutexLocker lock(&mFilesMutex);
        if (mAhead.result.valid() && mAhead.index == index && mAhead.source == source &&
            mAhead.box == box && mAhead.generation == mGeneration && mAhead.stamp.valid &&
            mAhead.stamp == stamp)
            ready = std::move(mAhead.result);
        std::future<Converted> previous = convertAheadLocked(index + 1, box);
        if (!ready.valid())
            outdated = std::move(previous);
    }
    outdated = {}; // waits for a conversion nobody wants any more, outside the lock

    const Converted png = ready.valid() ? ready.get() : convert(source, box);
    const platform::Expected<Placed> placed =
        png ? writeFile(*png, dest) : platform::Expected<Placed>(png.error());
    if (!placed)
        qCWarning(lcPhotoHost).noquote()
            << "photo" << index << "not exported:" << placed.error().localizedDescription;
    QMutexLocker lock(&mFilesMutex);
    if (!placed) {
        mExportFailure = placed.error();
        return false;
    }
    if (const std::optional<struct stat> &st = placed->status)
        mWritten.append({placed->path, FileStamp::of(*st)});
    return true;
}

platform::MaybeError PhotoHost::exportFailure() const {
    QMutexLocker lock(&mFilesMutex);
    return mExportFailure;
}

void PhotoHost::convertAhead(QSize box) {
    if (mExporting)
        return;
    std::future<Converted> outdated;
    {
        QMutexLocker lock(&mFilesMutex);
        if (mAhead.result.valid() && mAhead.index == 0 && mAhead.box == box &&
            mAhead.generation == mGeneration)
            return;
        outdated = convertAheadLocked(0, box);
    }
}

std::future<PhotoHost::Converted> PhotoHost::convertAheadLocked(int index, QSize box) {
    std::future<Converted> previous = std::move(mAhead.result);
    mAhead = Ahead{};
    if (index < 0 || index >= mFiles.size())
        return previous;
    const QString source = mFiles.at(index);
    try {
        // The stamp comes first: a change made while the conversion reads shows at the call.
        mAhead.stamp = stampOf(source);
        mAhead.result = std::async(std::launch::async, &PhotoHost::convert, source, box);
        mAhead.index = index;
        mAhead.source = source;
        mAhead.box = box;
        mAhead.generation = mGeneration;
    } catch (const std::system_error &) {
        // No thread to spare: the photo is converted at its own call.
        mAhead = Ahead{};
    }
    return previous;
}

PhotoHost::FileStamp PhotoHost::stampOf(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return FileStamp::of(st);
}

PhotoHost::FileStamp PhotoHost::FileStamp::of(const struct stat &st) {
    return FileStamp{true,
                     quint64(st.st_dev),
                     quint64(st.st_ino),
                     qint64(st.st_size),
                     qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                     qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

PhotoHost::Converted PhotoHost::convert(const QString &source, QSize box) {
    const platform::Expected<QImage> image = readPhoto(source, box);
    if (!image)
        return image.error();
    return encodePng(withoutMetadata(*image));
}
