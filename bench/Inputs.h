#pragma once

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>

namespace bench {

struct Photo {
    QString path;
    QSize upright; // the size once its EXIF orientation has been applied
    int orientation = 1;
};

// Photos made here, the same bytes on every run: gradients with soft bands and noise of several
// strengths, some portrait, some stored sideways with an EXIF orientation that turns them
// upright. Files already there from an earlier run with the same recipe are kept.
QList<Photo> makePhotos(const QString &folder, int count, QSize landscape, QString *why);

// `jpeg` with an EXIF segment holding only the orientation tag put right after its start marker.
QByteArray withOrientation(const QByteArray &jpeg, int orientation);

// Text of 64 Mi (or `length`) characters, the same on every run: mostly ASCII words with
// accented Latin-1 letters among them, so its UTF-8 form is longer than its character count and
// every character has a byte value of its own.
QString makeText(qsizetype length);

} // namespace bench
