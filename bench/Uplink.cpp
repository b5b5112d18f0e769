#include "Comparisons.h"

#include "Harness.h"
#include "SiteProcess.h"
#include "Spawn.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace bench {

namespace {

// A home uplink: 20 Mbit/s, 30 ms before every answer.
constexpr int kLinkKbits = 20000;
constexpr int kLinkDelayMs = 30;

// What the site's journal gained since `*offset`: the requests and their body bytes.
struct Traffic {
    int exchanges = 0;
    qint64 bodyBytes = 0;
};

Traffic readJournal(const QString &path, qint64 *offset) {
    Traffic traffic;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(*offset))
        return traffic;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // the site is still writing it
        *offset += line.size();
        ++traffic.exchanges;
        traffic.bodyBytes += QJsonDocument::fromJson(line).object().value("bodySize").toInteger();
    }
    return traffic;
}

} // namespace

void uplink(Harness &harness) {
    const Options &o = harness.options();
    const Setup &s = harness.setup();
    say(QStringLiteral("7. the whole run of %1 photos over a %2 Mbit/s, %3 ms uplink")
            .arg(s.uploadCount)
            .arg(kLinkKbits / 1000)
            .arg(kLinkDelayMs));
    Figure &againstCurl = harness.add(
        QStringLiteral("7a"), QStringLiteral("Whole run over a home uplink"), QStringLiteral("s"));
    againstCurl.reference = QStringLiteral("curl, the same PNG files");
    againstCurl.aim = Figure::Aim::RatioAtMost;
    againstCurl.limit = 1.0;
    Figure &againstFloor = harness.add(
        QStringLiteral("7b"), QStringLiteral("Whole run over a home uplink"), QStringLiteral("s"));
    againstFloor.reference = QStringLiteral("the link's floor");
    againstFloor.aim = Figure::Aim::RatioAtMost;
    againstFloor.limit = 1.1;
    const QStringList ids{againstCurl.id, againstFloor.id};

    SiteProcess site;
    QString why;
    const QString journal = harness.folder(QStringLiteral("7-journal.jsonl"));
    QFile::remove(journal);
    if (!site.start(o.siteProgram, harness.folder(QStringLiteral("site-7")), &why,
                    {QStringLiteral("--link"),
                     QStringLiteral("%1:%2").arg(kLinkKbits).arg(kLinkDelayMs),
                     QStringLiteral("--journal"), journal})) {
        harness.skip(ids, why);
        return;
    }
    const QList<Photo> set = s.photos.mid(0, s.uploadCount);
    QStringList inputs;
    for (const Photo &photo : set)
        inputs.append(photo.path);
    QList<QStringList> curlUploads;
    for (const QString &png : s.pngs.mid(0, s.uploadCount))
        curlUploads.append(Harness::curlFormUpload(png));

    // The floor of each of our runs: every body byte at the link's rate, and one delay for each
    // exchange, as the uploads go one after the other.
    qint64 journalRead = 0;
    QList<double> floors;
    const Command ours{o.exportProgram,
                       QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--quiet"),
                                   QStringLiteral("--yes"), QStringLiteral("--dir"),
                                   harness.folder(QStringLiteral("7-scratch"))} +
                           inputs,
                       site.environment()};
    QList<Side> sides{
        {QStringLiteral("nubelo-export"),
         [&](QString *why) {
             readJournal(journal, &journalRead); // whatever came before this run
             const Outcome outcome = bench::run(ours);
             if (outcome.failed(ours, why))
                 return kFailed;
             const Traffic traffic = readJournal(journal, &journalRead);
             floors.append(double(traffic.bodyBytes) * 8.0 / (kLinkKbits * 1000.0) +
                           traffic.exchanges * kLinkDelayMs / 1000.0);
             return outcome.seconds;
         },
         {}},
        {QStringLiteral("curl"),
         [&](QString *why) {
             double uploadSeconds = 0;
             return harness.curlSession(site, curlUploads, &uploadSeconds, why);
         },
         {}},
    };
    if (s.curl.isEmpty())
        sides.removeLast();
    if (!alternate(sides, o.reps, &why)) {
        harness.skip(ids, why);
        return;
    }
    for (Figure *figure : {&againstCurl, &againstFloor}) {
        figure->oursSamples = sides.at(0).samples;
        figure->ours = median(figure->oursSamples);
    }
    againstFloor.referenceSamples = floors;
    againstFloor.referenceValue = median(floors);
    againstFloor.note = QStringLiteral("The floor: every body byte the site received from our "
                                       "run at %1 Mbit/s, plus %2 ms for each of its requests.")
                            .arg(kLinkKbits / 1000)
                            .arg(kLinkDelayMs);
    if (s.curl.isEmpty()) {
        harness.missing({againstCurl.id}, QStringLiteral("curl is not installed"));
        return;
    }
    againstCurl.referenceSamples = sides.at(1).samples;
    againstCurl.referenceValue = median(againstCurl.referenceSamples);
    againstCurl.note =
        QStringLiteral("%1 photos of %2 MP through nubelo-site --link %3:%4; ours signs in, "
                       "converts and uploads each photo and signs out (the sign-in is two "
                       "exchanges: the login form and the home page its redirect leads to); "
                       "curl sends the PNG files ours wrote, with -F and --next in one process, "
                       "between a sign-in and a sign-out.")
            .arg(set.size())
            .arg(harness.megapixels())
            .arg(kLinkKbits)
            .arg(kLinkDelayMs);
}

} // namespace bench
