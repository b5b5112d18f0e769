#include "Comparisons.h"

#include "Harness.h"
#include "SiteProcess.h"
#include "Spawn.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace bench {

void wholeRun(Harness &harness) {
    const Options &o = harness.options();
    const Setup &s = harness.setup();
    say(QStringLiteral("3. the whole run of %1 photos, and 5. its memory").arg(s.uploadCount));
    Figure &run = harness.add(QStringLiteral("3"), QStringLiteral("Whole run: convert and upload"),
                              QStringLiteral("s"));
    run.reference = QStringLiteral("vipsthumbnail + curl");
    run.aim = Figure::Aim::RatioAtMost;
    run.limit = 0.5;
    Figure &small =
        harness.add(QStringLiteral("5a"),
                    QStringLiteral("Peak RSS of nubelo-export, %1 photos").arg(s.smallRun),
                    QStringLiteral("MiB"));
    small.aim = Figure::Aim::ValueBelow;
    small.limit = 60;
    Figure &large =
        harness.add(QStringLiteral("5b"),
                    QStringLiteral("Peak RSS of nubelo-export, %1 photos").arg(s.uploadCount),
                    QStringLiteral("MiB"));
    large.aim = Figure::Aim::ValueBelow;
    large.limit = 60;
    Figure &growth = harness.add(
        QStringLiteral("5c"),
        QStringLiteral("Growth from %1 to %2 photos").arg(s.smallRun).arg(s.uploadCount),
        QStringLiteral("MiB"));
    growth.aim = Figure::Aim::ValueAtMost;
    growth.limit = 2;
    const QStringList ids{QStringLiteral("3"), QStringLiteral("5a"), QStringLiteral("5b"),
                          QStringLiteral("5c")};

    SiteProcess site;
    QString why;
    if (!site.start(o.siteProgram, harness.folder(QStringLiteral("site-3")), &why)) {
        harness.skip(ids, why);
        return;
    }
    const QList<Photo> set = s.photos.mid(0, s.uploadCount);
    QStringList inputs, vipsFiles;
    const QString scratch = harness.folder(QStringLiteral("3-scratch"));
    const QString vipsDir = harness.folder(QStringLiteral("3-vips"));
    for (const Photo &photo : set) {
        inputs.append(photo.path);
        vipsFiles.append(
            QStringLiteral("%1/%2.png").arg(vipsDir, QFileInfo(photo.path).completeBaseName()));
    }
    QList<QStringList> curlUploads;
    for (const QString &file : vipsFiles)
        curlUploads.append(Harness::curlFormUpload(file));
    // Through nubelo-bench-rss, which reports the program's own peak memory.
    const QString report = harness.folder(QStringLiteral("3-peak-memory.txt"));
    const auto exportCommand = [&](const QStringList &photoPaths) {
        return Command{o.rssProgram,
                       QStringList{report, o.exportProgram, QStringLiteral("--email"), kEmail,
                                   QStringLiteral("--quiet"), QStringLiteral("--yes"),
                                   QStringLiteral("--dir"), scratch} +
                           photoPaths,
                       site.environment()};
    };
    const auto peakMiB = [&] {
        QFile file(report);
        bool ok = false;
        const double kib =
            file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toDouble(&ok) : 0.0;
        file.close();
        file.remove();
        return ok ? kib / 1024.0 : kFailed;
    };

    QList<double> rssSmall;
    QList<double> rss50; // the larger run
    // A run of nubelo-export over `photos`, its peak memory kept in `peaks`.
    const auto exportSide = [&](const QStringList &photos, QList<double> &peaks) {
        return [&, photos](QString *why) {
            const Command command = exportCommand(photos);
            const Outcome outcome = bench::run(command);
            if (outcome.failed(command, why))
                return kFailed;
            const double peak = peakMiB();
            if (std::isnan(peak)) {
                *why = QStringLiteral("nubelo-bench-rss reported no peak memory");
                return kFailed;
            }
            peaks.append(peak);
            return outcome.seconds;
        };
    };
    QList<Side> sides{
        {QStringLiteral("nubelo-export"), exportSide(inputs, rss50), {}},
        {QStringLiteral("vipsthumbnail + curl"),
         [&](QString *why) {
             if (!freshFolder(vipsDir)) {
                 *why = vipsDir + QStringLiteral(": cannot be emptied");
                 return kFailed;
             }
             const Command toPng{s.vips,
                                 QStringList{QStringLiteral("--size=640x640"),
                                             QStringLiteral("--output=") + vipsDir +
                                                 QStringLiteral("/%s.png[strip]")} +
                                     inputs,
                                 {}};
             const Outcome converted = bench::run(toPng);
             if (converted.failed(toPng, why))
                 return kFailed;
             double uploadSeconds = 0;
             const double sent = harness.curlSession(site, curlUploads, &uploadSeconds, why);
             return converted.seconds + sent;
         },
         {}},
        {QStringLiteral("nubelo-export (fewer photos)"),
         exportSide(inputs.mid(0, s.smallRun), rssSmall),
         {}},
    };
    const bool tools = !s.vips.isEmpty() && !s.curl.isEmpty();
    if (!tools)
        sides.removeAt(1); // the memory figures stand without the reference tools
    if (!alternate(sides, o.reps, &why)) {
        harness.skip(ids, why);
        return;
    }
    if (!tools) {
        harness.missing({run.id}, QStringLiteral("vipsthumbnail or curl is not installed"));
    } else {
        run.oursSamples = sides.at(0).samples;
        run.referenceSamples = sides.at(1).samples;
        run.ours = median(run.oursSamples);
        run.referenceValue = median(run.referenceSamples);
        run.note = QStringLiteral("%1 photos of %2 MP; ours signs in, converts and uploads each "
                                  "photo in turn and signs out; the other side is one "
                                  "vipsthumbnail process, then one curl process (sign-in, the "
                                  "%1 uploads with -F, sign-out).")
                       .arg(set.size())
                       .arg(harness.megapixels());
    }
    small.oursSamples = rssSmall;
    small.ours = median(rssSmall);
    large.oursSamples = rss50;
    large.ours = median(rss50);
    growth.ours = large.ours - small.ours;
    growth.oursSamples = {growth.ours};
    growth.note = QStringLiteral("The peak resident set of the whole program (the site runs "
                                 "apart), median of %1 runs each.")
                      .arg(rss50.size());
}

} // namespace bench
