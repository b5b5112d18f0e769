#pragma once

// The harness the comparisons run in: the inputs made once, the figures they record, and the
// helpers every comparison uses to time its sides. One thread.

#include "Bench.h"
#include "Inputs.h"
#include "Report.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <limits>

namespace bench {

class SiteProcess;

inline constexpr double kFailed = std::numeric_limits<double>::quiet_NaN();
// The one account of the stand-in site that every side signs in with.
inline const QString kEmail = QStringLiteral("bench@nubelo.example");
inline const QString kPassword = QStringLiteral("bench-password");
// The box the photos are fitted into.
inline constexpr int kBox = 640;

// A line on standard error, at once.
void say(const QString &text);
// Seconds on the monotonic clock.
double now();
// A "NAME SECONDS" line that a child printed; NaN when there is none.
double phase(const QByteArray &out, const char *name);
QList<double> scaled(const QList<double> &samples, double factor);
// Empties path, or makes it; false when it cannot.
bool freshFolder(const QString &path);
qint64 totalSize(const QStringList &files);

// Runs the sides of one comparison in turn, `reps` times, starting each round with the next
// side, so a change of load falls on all of them alike. A side answers its time in seconds, or
// NaN after it has put the reason into *why.
struct Side {
    QString name;
    std::function<double(QString *why)> run;
    QList<double> samples;
};

bool alternate(QList<Side> &sides, int reps, QString *why);

// What every comparison starts from, made once by Harness::begin.
struct Setup {
    QList<Photo> photos;         // the camera photos
    QStringList pngs;            // the photos as PhotoHost writes them, one per photo
    QString vips, convert, curl; // the reference tools; empty when not installed
    int batch = 20;              // photos in the conversion comparison
    int uploadCount = 50;        // photos in the upload and whole-run comparisons
    int smallRun = 10;           // the smaller run of the memory figure
};

class Harness {
public:
    explicit Harness(const Options &options)
        : mOptions(options) {}

    // Probes the machine and the reference tools and, when needPhotos, makes the photos and
    // what PhotoHost makes of them. False, after saying why, when the run cannot go on.
    bool begin(bool needPhotos);
    // Prints the table and writes results.json and results.md into the output folder. 0 when
    // every figure was measured (met or not), 1 when a side or the harness itself failed.
    int finish();

    const Options &options() const { return mOptions; }
    const Setup &setup() const { return mSetup; }

    // A new, empty figure; the reference stays valid for the rest of the run.
    Figure &add(const QString &id, const QString &title, const QString &unit);
    // A side that failed: the run as a whole fails.
    void skip(const QStringList &ids, const QString &why);
    // A reference tool that is not installed: the figure stays empty, the run goes on.
    void missing(const QStringList &ids, const QString &why);
    // The size of the photos, in whole megapixels.
    int megapixels() const;
    // A file or folder in the output folder.
    QString folder(const QString &name) const { return mOptions.out + QLatin1Char('/') + name; }

    // curl's arguments for one upload of `png` through the site's own form: the same four
    // fields, curl's own boundary, no wait for a "100 Continue".
    static QStringList curlFormUpload(const QString &png);
    // One curl process: sign in, the given uploads, sign out; every answer must be the one
    // the site gives a signed-in user. Its time, and the uploads' own time from curl's count.
    double curlSession(const SiteProcess &site, const QList<QStringList> &uploads,
                       double *uploadSeconds, QString *why, long *switches = nullptr,
                       double *cpuSeconds = nullptr);

private:
    void probeTools();
    bool prepare(QString *why);

    const Options &mOptions;
    Setup mSetup;
    std::deque<Figure> mFigures; // references to its elements stay valid as it grows
    Machine mMachine;
    bool mFailed = false; // a side failed: the harness or the measured code is broken
};

} // namespace bench
