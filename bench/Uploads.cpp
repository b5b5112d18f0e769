#include "Comparisons.h"

#include "Harness.h"
#include "NubeloConnections_p.h"
#include "SiteProcess.h"
#include "Spawn.h"

#include <QFile>
#include <QSaveFile>

#include <cmath>

namespace bench {

void uploads(Harness &harness) {
    const Options &o = harness.options();
    const Setup &s = harness.setup();
    say(QStringLiteral("2. %1 uploads on loopback to nubelo-site").arg(s.uploadCount));
    Figure &f = harness.add(QStringLiteral("2"), QStringLiteral("Upload on loopback, per photo"),
                            QStringLiteral("ms"));
    f.reference = QStringLiteral("curl");
    f.aim = Figure::Aim::RatioAtMost;
    f.limit = 1.0;
    Figure &switches = harness.add(
        QStringLiteral("2b"), QStringLiteral("Context switches per upload"), QStringLiteral(""));
    switches.reference = QStringLiteral("curl");
    switches.aim = Figure::Aim::ValueAtMost;
    switches.limit = 10;
    if (s.curl.isEmpty()) {
        harness.missing({f.id, switches.id}, QStringLiteral("curl is not installed"));
        return;
    }
    SiteProcess site;
    QString why;
    if (!site.start(o.siteProgram, harness.folder(QStringLiteral("site-2")), &why)) {
        harness.skip({f.id, switches.id}, why);
        return;
    }
    // The very bytes uploadImage puts on the wire, for curl to send as they are.
    const QString bodies = harness.folder(QStringLiteral("bodies"));
    freshFolder(bodies);
    const QStringList files = s.pngs.mid(0, s.uploadCount);
    QList<QStringList> curlUploads;
    qint64 bodyBytes = 0;
    for (int i = 0; i < files.size(); ++i) {
        QFile png(files.at(i));
        png.open(QIODevice::ReadOnly);
        const QByteArray body = NubeloConnectionsPrivate::prepareUploadData(png.readAll());
        bodyBytes += body.size();
        const QString path = QStringLiteral("%1/body-%2.bin").arg(bodies).arg(i);
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(body) != body.size() || !out.commit()) {
            harness.skip({f.id, switches.id}, path + QStringLiteral(": ") + out.errorString());
            return;
        }
        curlUploads.append({QStringLiteral("-H"),
                            QStringLiteral("Content-Type: multipart/form-data; boundary=") +
                                QLatin1String(NubeloConnectionsPrivate::kBoundary),
                            QStringLiteral("-H"), QStringLiteral("Expect:"),
                            QStringLiteral("--data-binary"), QLatin1Char('@') + path});
    }

    QList<double> oursUploadPhase, curlUploadPhase, syncUploadPhase;
    QList<double> oursSwitches, curlSwitches, oursCpu, curlCpu;
    QStringList bodyFiles;
    for (const QStringList &upload : curlUploads)
        bodyFiles.append(upload.last().mid(1));
    QList<Side> sides{
        {QStringLiteral("uploadImage"),
         [&](QString *why) {
             const Command command{o.self,
                                   QStringList{QStringLiteral("--child-upload"), kEmail} + files,
                                   site.environment()};
             const Outcome outcome = bench::run(command);
             if (outcome.failed(command, why))
                 return kFailed;
             oursUploadPhase.append(phase(outcome.out, "uploads"));
             oursSwitches.append(double(outcome.contextSwitches));
             oursCpu.append(outcome.cpuSeconds);
             return outcome.seconds;
         },
         {}},
        {QStringLiteral("curl"),
         [&](QString *why) {
             double phaseSeconds = 0;
             long switches = 0;
             double cpu = 0;
             const double seconds =
                 harness.curlSession(site, curlUploads, &phaseSeconds, why, &switches, &cpu);
             curlUploadPhase.append(phaseSeconds);
             curlSwitches.append(double(switches));
             curlCpu.append(cpu);
             return seconds;
         },
         {}},
        // Not a contender: Qt's synchronous mode keeps the body on one thread, which shows what
        // the asynchronous mode's hand-over between threads costs.
        {QStringLiteral("Qt synchronous mode"),
         [&](QString *why) {
             const Command command{
                 o.self, QStringList{QStringLiteral("--child-qt-sync"), kEmail} + bodyFiles,
                 site.environment()};
             const Outcome outcome = bench::run(command);
             if (outcome.failed(command, why))
                 return kFailed;
             syncUploadPhase.append(phase(outcome.out, "uploads"));
             return outcome.seconds;
         },
         {}},
    };
    if (!alternate(sides, o.reps, &why)) {
        harness.skip({f.id, switches.id}, why);
        return;
    }
    const double perPhoto = 1000.0 / double(files.size());
    f.oursSamples = scaled(sides.at(0).samples, perPhoto);
    f.referenceSamples = scaled(sides.at(1).samples, perPhoto);
    f.ours = median(f.oursSamples);
    f.referenceValue = median(f.referenceSamples);
    switches.oursSamples = scaled(oursSwitches, 1.0 / double(files.size()));
    switches.referenceSamples = scaled(curlSwitches, 1.0 / double(files.size()));
    switches.ours = median(switches.oursSamples);
    switches.referenceValue = median(switches.referenceSamples);
    switches.note = QStringLiteral("The whole process's voluntary and involuntary switches, "
                                   "sign-in included, over the uploads.");
    f.note = QStringLiteral("%1 multipart bodies of %2 KiB on average, byte for byte the same "
                            "on both sides; each side one process that signs in, uploads and "
                            "signs out (curl with --next, \"Expect:\" off). The uploads alone: "
                            "ours %3 ms, curl %4 ms per photo; the same bodies through Qt's "
                            "synchronous mode, which keeps them on one thread, %5 ms. Per photo, "
                            "ours switches context %6 times and uses %8 ms of CPU, curl %7 times "
                            "and %9 ms (whole process, sign-in included).")
                 .arg(files.size())
                 .arg(double(bodyBytes) / 1024.0 / double(files.size()), 0, 'f', 0)
                 .arg(median(oursUploadPhase) * perPhoto, 0, 'f', 2)
                 .arg(median(curlUploadPhase) * perPhoto, 0, 'f', 2)
                 .arg(median(syncUploadPhase) * perPhoto, 0, 'f', 2)
                 .arg(median(oursSwitches) / double(files.size()), 0, 'f', 0)
                 .arg(median(curlSwitches) / double(files.size()), 0, 'f', 1)
                 .arg(median(oursCpu) * perPhoto, 0, 'f', 1)
                 .arg(median(curlCpu) * perPhoto, 0, 'f', 1);
}

} // namespace bench
