#pragma once

// The private part of the service client: the request bodies of the upload form and the trace
// files. Kept out of NubeloConnections.h so that only the client and its tests see them.

#include <QByteArray>
#include <QtGlobal>

namespace NubeloConnectionsPrivate {

// The form's boundary word.
inline constexpr char kBoundary[] = "Velkaron";
// What the multipart body adds to the photo's bytes.
inline constexpr qsizetype kUploadFormOverhead = 317;

// The last queue-check body sent, and the last answer of an upload or a queue check.
inline constexpr char kTraceBodyPath[] = "/tmp/theBody.txt";
inline constexpr char kTraceDataPath[] = "/tmp/theData.txt";

// The upload form as the site's own page posts it: the photo as the file field "iPhoto.png",
// then "func" = "addq", "wf" empty and "rotate" = "0". The photo's bytes go in unchanged,
// copied once into a buffer that is reserved at its final size.
QByteArray prepareUploadData(const QByteArray &image);

// "func=checkq&wf=&qid=<qid>" and CR LF.
QByteArray queueCheckBody(qint32 qid);

// Replaces the content of the trace file at `path` with `bytes`. The names are fixed and lie in
// a directory everyone writes to, so the write never follows a symbolic link, keeps the file
// for its owner alone (0600, set on a file of ours that was there before too) and leaves alone
// a file that is not ours, not a plain file or has other names (a hard link). False when
// nothing was written; callers go on either way.
bool writeTraceFile(const char *path, const QByteArray &bytes);

} // namespace NubeloConnectionsPrivate
