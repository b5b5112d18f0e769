#pragma once

#include <QStringList>

namespace bench {

// The measured sides that run as processes of their own, so they start, load and end the way
// the tools they are set against do. Each prints "NAME SECONDS" lines for the phases it timed
// itself, and exits 0 only when everything went through.

// `nubelo-bench --child-export FOLDER PHOTO...`: PhotoHost writes each photo as FOLDER/sfe-N.png,
// one after another, with the settings the export run passes.
int childExport(const QStringList &arguments);

// `nubelo-bench --child-upload EMAIL PNG...` (password in NUBELO_PASSWORD, the site in
// NUBELO_SITE_HOST and NUBELO_UPLOAD_HOST): signs in, reads each file whole and hands it to
// uploadImage, then signs out.
int childUpload(const QStringList &arguments);

// `nubelo-bench --child-qt-sync EMAIL BODY...`: signs in with a plain POST, then posts each
// multipart body through QNetworkAccessManager in Qt's synchronous mode, which keeps the body
// on one thread. Not something the product can use; it shows what the hand-over costs.
int childQtSync(const QStringList &arguments);

} // namespace bench
