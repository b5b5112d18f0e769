#include "UploadRecord.h"

#include "ProgramArguments.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

platform::Error recordError(const QString &path, const QString &why) {
    return platform::Error{QStringLiteral("UploadRecord"), 1,
                           QStringLiteral("the upload record %1: %2").arg(path, why)};
}

// Makes the folder and every missing one above it 0700: the record says what the user sent
// where, which is nobody else's business.
bool makePrivateFolder(const QString &folder) {
    const QString absolute = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    QString at;
    for (const QString &part : absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        at += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(at);
        if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(QFile::encodeName(absolute).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Where the damaged end of the record starts: the bytes after the last newline, else a last
// line that does not parse; the size of the data when its end is sound.
qsizetype soundLength(const QByteArray &data) {
    if (data.isEmpty())
        return 0;
    const qsizetype lastNewline = data.lastIndexOf('\n');
    if (lastNewline != data.size() - 1)
        return lastNewline + 1; // torn: cut after the last whole line
    const qsizetype start = lastNewline > 0 ? data.lastIndexOf('\n', lastNewline - 1) + 1 : 0;
    const QByteArray last = data.mid(start, lastNewline - start);
    return UploadRecord::parseLine(last) ? data.size() : start;
}

} // namespace

QString UploadRecord::defaultPath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/nubelo-export/uploaded.jsonl");
}

platform::Expected<QByteArray> UploadRecord::digestOf(const QString &path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return platform::Error{
            QStringLiteral("UploadRecord"), 1,
            QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString())};
    return hash.result().toHex();
}

std::optional<UploadRecord::Entry> UploadRecord::parseLine(const QByteArray &line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject o = document.object();
    Entry entry;
    entry.site = o.value(QLatin1String("site")).toString();
    entry.account = o.value(QLatin1String("account")).toString();
    entry.sha256 = o.value(QLatin1String("sha256")).toString().toLatin1();
    entry.path = o.value(QLatin1String("path")).toString();
    entry.size = qint64(o.value(QLatin1String("size")).toDouble(-1));
    entry.time = QDateTime::fromString(o.value(QLatin1String("time")).toString(), Qt::ISODate);
    // A digest of another length, or one with other letters, would never match a file's.
    const bool hexDigest = entry.sha256.size() == 64 &&
                           std::all_of(entry.sha256.begin(), entry.sha256.end(), [](char c) {
                               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                           });
    if (entry.site.isEmpty() || entry.account.isEmpty() || !hexDigest)
        return std::nullopt;
    return entry;
}

UploadRecord::UploadRecord(QString path)
    : mPath(std::move(path)) {}

UploadRecord::~UploadRecord() {
    if (mFd >= 0)
        ::close(mFd);
}

platform::Expected<QSet<QByteArray>> UploadRecord::sentTo(const QString &site,
                                                          const QString &account) const {
    QFile file(mPath);
    if (!file.exists())
        return QSet<QByteArray>();
    QByteArray data;
    if (!file.open(QIODevice::ReadOnly))
        return recordError(mPath, file.errorString());
    data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return recordError(mPath, file.errorString());

    const QByteArray sound = data.left(soundLength(data));
    QSet<QByteArray> digests;
    int number = 0;
    for (const QByteArray &line : sound.split('\n')) {
        ++number;
        if (line.isEmpty())
            continue;
        const std::optional<Entry> entry = parseLine(line);
        if (!entry)
            return recordError(
                mPath, QStringLiteral("line %1 is damaged (mend or remove it)").arg(number));
        if (entry->site == site && entry->account.compare(account, Qt::CaseInsensitive) == 0)
            digests.insert(entry->sha256);
    }
    return digests;
}

platform::MaybeError UploadRecord::open() {
    if (!makePrivateFolder(QFileInfo(mPath).path()))
        return recordError(mPath,
                           QStringLiteral("its folder cannot be made: %1").arg(systemError()));
    const QByteArray name = QFile::encodeName(mPath);
    // Not through a link: someone else's link would have us write where they chose.
    const int fd =
        ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return recordError(mPath, systemError());
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return recordError(mPath, QStringLiteral("not a regular file"));
    }
    if ((st.st_mode & 077) != 0)
        ::fchmod(fd, 0600);

    // A line torn by a crash would otherwise sit in the middle once the next one follows it.
    QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
    qsizetype have = 0;
    while (have < data.size()) {
        const ssize_t n = ::pread(fd, data.data() + have, size_t(data.size() - have), off_t(have));
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            ::close(fd);
            return recordError(mPath, n < 0 ? systemError() : QStringLiteral("it shrank"));
        }
        have += n;
    }
    const qsizetype sound = soundLength(data);
    if (sound < data.size() && ::ftruncate(fd, off_t(sound)) != 0) {
        ::close(fd);
        return recordError(mPath, systemError());
    }
    mFd = fd;
    return std::nullopt;
}

platform::MaybeError UploadRecord::append(const Entry &entry) {
    if (mFd < 0) {
        if (platform::MaybeError error = open())
            return error;
    }
    QJsonObject o;
    o.insert(QLatin1String("site"), entry.site);
    o.insert(QLatin1String("account"), entry.account);
    o.insert(QLatin1String("sha256"), QString::fromLatin1(entry.sha256));
    o.insert(QLatin1String("path"), entry.path);
    o.insert(QLatin1String("size"), double(entry.size));
    o.insert(QLatin1String("time"), entry.time.toUTC().toString(Qt::ISODate));
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    // One write in append mode: the line lands whole after every other, even one that another
    // run wrote meanwhile; a crash can only leave it torn at the end, where the next append cuts
    // it off.
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(mFd, line.constData() + written, size_t(line.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return recordError(mPath,
                               n < 0 ? systemError() : QStringLiteral("nothing was written"));
        written += n;
    }
    if (::fdatasync(mFd) != 0)
        return recordError(mPath, systemError());
    return std::nullopt;
}

platform::Expected<PhotosToSend> leaveOutUploaded(const UploadRecord &record, const QString &site,
                                                  const QString &account,
                                                  const QStringList &photos) {
    const auto sent = record.sentTo(site, account);
    if (!sent)
        return sent.error();
    PhotosToSend result;
    for (const QString &photo : photos) {
        const auto digest = UploadRecord::digestOf(photo);
        if (!digest)
            return digest.error();
        result.digests.insert(photo, *digest);
        if (sent->contains(*digest))
            ++result.skipped;
        else
            result.photos.append(photo);
    }
    return result;
}

RunRecord::RunRecord(UploadRecord &record, QString site, QString account)
    : mRecord(record)
    , mSite(std::move(site))
    , mAccount(std::move(account)) {}

void RunRecord::start(const QStringList &photos, const QHash<QString, QByteArray> &digests) {
    mPhotos = photos;
    mDigests = digests;
    mRecorded = 0;
}

void RunRecord::uploadedSoFar(int uploaded) {
    uploaded = qMin(uploaded, int(mPhotos.size()));
    for (; mRecorded < uploaded; ++mRecorded) {
        const QString &photo = mPhotos.at(mRecorded);
        platform::MaybeError error;
        QByteArray digest = mDigests.value(photo);
        if (digest.isEmpty()) {
            const auto read = UploadRecord::digestOf(photo);
            error = read.failure();
            if (read)
                digest = *read;
        }
        if (!error) {
            const QFileInfo info(photo);
            error =
                mRecord.append(UploadRecord::Entry{mSite, mAccount, digest, info.absoluteFilePath(),
                                                   info.size(), QDateTime::currentDateTimeUtc()});
        }
        if (error && !mFailed) {
            mFailed = true;
            ProgramArguments::warn(QStringLiteral("nubelo-export"),
                                   error->localizedDescription +
                                       QStringLiteral(" (--skip-uploaded will not know of the "
                                                      "photos of this run)"));
        }
    }
}
