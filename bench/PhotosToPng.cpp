#include "Comparisons.h"

#include "Harness.h"
#include "PhotoHost.h"
#include "Spawn.h"

#include <QFileInfo>
#include <QImageReader>

#include <cmath>

namespace bench {

namespace {

// Every file must be a picture of the size the photo takes inside the box, upright.
QString checkOutputs(const QStringList &files, const QList<Photo> &photos) {
    for (qsizetype i = 0; i < files.size(); ++i) {
        const QSize size = QImageReader(files.at(i)).size();
        const QSize want = PhotoHost::fitInside(photos.at(i).upright, QSize(kBox, kBox));
        if (std::abs(size.width() - want.width()) > 1 ||
            std::abs(size.height() - want.height()) > 1) {
            return QStringLiteral("%1 is %2x%3, not %4x%5")
                .arg(files.at(i))
                .arg(size.width())
                .arg(size.height())
                .arg(want.width())
                .arg(want.height());
        }
    }
    return {};
}

} // namespace

void photosToPng(Harness &harness) {
    const Options &o = harness.options();
    const Setup &s = harness.setup();
    say(QStringLiteral("1. %1 photos to PNGs of at most 640 x 640").arg(s.batch));
    Figure &vs = harness.add(QStringLiteral("1a"), QStringLiteral("Photo to 640 PNG, per photo"),
                             QStringLiteral("ms"));
    vs.reference = QStringLiteral("vipsthumbnail");
    vs.aim = Figure::Aim::RatioAtMost;
    vs.limit = 0.6;
    Figure &im = harness.add(QStringLiteral("1b"), QStringLiteral("Photo to 640 PNG, per photo"),
                             QStringLiteral("ms"));
    im.reference = QStringLiteral("ImageMagick");
    im.aim = Figure::Aim::RatioAtMost;
    im.limit = 0.5;
    Figure &bytes = harness.add(QStringLiteral("1c"), QStringLiteral("PNG file size, per photo"),
                                QStringLiteral("KiB"));
    bytes.reference = QStringLiteral("ImageMagick");
    bytes.aim = Figure::Aim::RatioAtMost;
    bytes.limit = 1.0;
    const QStringList ids{QStringLiteral("1a"), QStringLiteral("1b"), QStringLiteral("1c")};
    if (s.vips.isEmpty() || s.convert.isEmpty()) {
        harness.missing(ids, QStringLiteral("vipsthumbnail or /usr/bin/convert is not installed"));
        return;
    }

    const QList<Photo> set = s.photos.mid(0, s.batch);
    QStringList inputs;
    for (const Photo &photo : set)
        inputs.append(photo.path);
    const QString oursDir = harness.folder(QStringLiteral("1-ours"));
    const QString vipsDir = harness.folder(QStringLiteral("1-vips"));
    const QString imDir = harness.folder(QStringLiteral("1-imagemagick"));
    QStringList oursFiles, vipsFiles, imFiles;
    for (int i = 0; i < set.size(); ++i) {
        oursFiles.append(QStringLiteral("%1/sfe-%2.png").arg(oursDir).arg(i));
        const QString base = QFileInfo(set.at(i).path).completeBaseName();
        vipsFiles.append(QStringLiteral("%1/%2.png").arg(vipsDir, base));
        imFiles.append(QStringLiteral("%1/%2.png").arg(imDir, base));
    }
    QList<double> oursInside, oursCpu, vipsCpu;

    QList<Side> sides{
        {QStringLiteral("PhotoHost"),
         [&](QString *why) {
             if (!freshFolder(oursDir)) {
                 *why = oursDir + QStringLiteral(": cannot be emptied");
                 return kFailed;
             }
             const Command command{
                 o.self, QStringList{QStringLiteral("--child-export"), oursDir} + inputs, {}};
             const Outcome outcome = bench::run(command);
             if (outcome.failed(command, why))
                 return kFailed;
             oursInside.append(phase(outcome.out, "export"));
             oursCpu.append(outcome.cpuSeconds);
             return outcome.seconds;
         },
         {}},
        {QStringLiteral("vipsthumbnail"),
         [&](QString *why) {
             if (!freshFolder(vipsDir)) {
                 *why = vipsDir + QStringLiteral(": cannot be emptied");
                 return kFailed;
             }
             // [strip]: no metadata in the files, as ours; it turns photos upright by itself.
             const Command command{s.vips,
                                   QStringList{QStringLiteral("--size=640x640"),
                                               QStringLiteral("--output=") + vipsDir +
                                                   QStringLiteral("/%s.png[strip]")} +
                                       inputs,
                                   {}};
             const Outcome outcome = bench::run(command);
             if (outcome.failed(command, why))
                 return kFailed;
             vipsCpu.append(outcome.cpuSeconds);
             return outcome.seconds;
         },
         {}},
        {QStringLiteral("ImageMagick"),
         [&](QString *why) {
             if (!freshFolder(imDir)) {
                 *why = imDir + QStringLiteral(": cannot be emptied");
                 return kFailed;
             }
             double total = 0;
             for (int i = 0; i < inputs.size(); ++i) {
                 // Upright and without metadata, as ours.
                 const Command command{s.convert,
                                       {inputs.at(i), QStringLiteral("-auto-orient"),
                                        QStringLiteral("-resize"), QStringLiteral("640x640"),
                                        QStringLiteral("-strip"), imFiles.at(i)},
                                       {}};
                 const Outcome outcome = bench::run(command);
                 if (outcome.failed(command, why))
                     return kFailed;
                 total += outcome.seconds;
             }
             return total;
         },
         {}},
    };
    QString why;
    if (!alternate(sides, o.reps, &why)) {
        harness.skip(ids, why);
        return;
    }
    for (const auto &[files, name] : {std::pair{oursFiles, QStringLiteral("PhotoHost")},
                                      std::pair{vipsFiles, QStringLiteral("vipsthumbnail")},
                                      std::pair{imFiles, QStringLiteral("ImageMagick")}}) {
        const QString wrong = checkOutputs(files, set);
        if (!wrong.isEmpty()) {
            harness.skip(ids, name + QStringLiteral(" made a wrong picture: ") + wrong);
            return;
        }
    }
    const double perPhoto = 1000.0 / double(set.size());
    vs.oursSamples = im.oursSamples = scaled(sides.at(0).samples, perPhoto);
    vs.referenceSamples = scaled(sides.at(1).samples, perPhoto);
    im.referenceSamples = scaled(sides.at(2).samples, perPhoto);
    vs.ours = im.ours = median(vs.oursSamples);
    vs.referenceValue = median(vs.referenceSamples);
    im.referenceValue = median(im.referenceSamples);
    const double inside = median(oursInside) * perPhoto;
    vs.note = QStringLiteral(
                  "%1 photos of %3 MP (JPEG, some portrait, some turned by EXIF), "
                  "one process each side, whole process timed; of ours, %2 ms per "
                  "photo are spent inside exportImageAtIndex. Both sides use two threads or more; "
                  "CPU time per photo: ours %4 ms, vipsthumbnail %5 ms.")
                  .arg(set.size())
                  .arg(inside, 0, 'f', 1)
                  .arg(harness.megapixels())
                  .arg(median(oursCpu) * perPhoto, 0, 'f', 1)
                  .arg(median(vipsCpu) * perPhoto, 0, 'f', 1);
    im.note = QStringLiteral("ImageMagick runs once per photo (-auto-orient -resize 640x640 "
                             "-strip).");

    const double perPhotoKiB = 1.0 / (1024.0 * double(set.size()));
    bytes.ours = double(totalSize(oursFiles)) * perPhotoKiB;
    bytes.referenceValue = double(totalSize(imFiles)) * perPhotoKiB;
    bytes.oursSamples = {bytes.ours};
    bytes.referenceSamples = {bytes.referenceValue};
    bytes.note = QStringLiteral("vipsthumbnail's files: %1 KiB per photo.")
                     .arg(double(totalSize(vipsFiles)) * perPhotoKiB, 0, 'f', 1);
}

} // namespace bench
