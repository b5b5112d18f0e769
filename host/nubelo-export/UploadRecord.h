#pragma once

#include "Error.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

// What nubelo-export has put on a site: one JSON line per photo that went up (the site host, the
// account, the SHA-256 of the user's file, its path and size, and the time), so that a run cut
// short can be picked up without sending a photo twice. A photo is known by its content: a
// renamed or moved file is still the same photo.
//
// Lines are appended one at a time and flushed to disc, the file is 0600 in a folder of 0700.
// A crash can leave the last line torn: reading ignores a last line that does not parse, and
// the next append cuts it off first, so it never ends up in the middle of the file. Main thread
// only.
class UploadRecord {
public:
    struct Entry {
        QString site;
        QString account;
        QByteArray sha256; // lowercase hex
        QString path;
        qint64 size = 0;
        QDateTime time;
    };

    // $XDG_STATE_HOME/nubelo-export/uploaded.jsonl, or under ~/.local/state when that is not
    // set (or not an absolute path, which the variable must be).
    static QString defaultPath();
    // The lowercase hex SHA-256 of the file's content; the error names the file.
    static platform::Expected<QByteArray> digestOf(const QString &path);
    // One line of the record: nothing when it is not a whole entry.
    static std::optional<Entry> parseLine(const QByteArray &line);

    explicit UploadRecord(QString path);
    ~UploadRecord();
    UploadRecord(const UploadRecord &) = delete;
    UploadRecord &operator=(const UploadRecord &) = delete;

    const QString &path() const { return mPath; }

    // The digests of the photos recorded for `site` and `account` (the address compared without
    // regard to case, as the site signs in). No file is an empty record. A file that cannot be
    // read, or a damaged line before the last, is an error naming the file: guessing would send
    // photos again.
    platform::Expected<QSet<QByteArray>> sentTo(const QString &site, const QString &account) const;

    // Appends the entry as one line and flushes it to disc. The first append of this object
    // creates the folder and the file, and cuts off a damaged last line left by an earlier run.
    platform::MaybeError append(const Entry &entry);

private:
    platform::MaybeError open();

    QString mPath;
    int mFd = -1;
};

// The photos of `photos` not recorded for `site` and `account`, in their order, how many were
// left out, and the digest of every photo read (for RunRecord::start).
struct PhotosToSend {
    QStringList photos;
    int skipped = 0;
    QHash<QString, QByteArray> digests;
};
platform::Expected<PhotosToSend> leaveOutUploaded(const UploadRecord &record, const QString &site,
                                                  const QString &account,
                                                  const QStringList &photos);

// One run's photos against the record: each photo is recorded as soon as the host learns it
// went up. Photos go up in the order given, so a count of photos uploaded says which.
class RunRecord {
public:
    RunRecord(UploadRecord &record, QString site, QString account);

    // The photos of this run, in order (none recorded yet); `digests` holds those already known.
    void start(const QStringList &photos, const QHash<QString, QByteArray> &digests = {});
    // Records photos up to `uploaded` (counted from the start of the run) that are not recorded
    // yet. A failure to record is told once and the run goes on: the photos are on the site.
    void uploadedSoFar(int uploaded);

private:
    UploadRecord &mRecord;
    QString mSite;
    QString mAccount;
    QStringList mPhotos;
    QHash<QString, QByteArray> mDigests;
    int mRecorded = 0;
    bool mFailed = false;
};
