#include "Bench.h"

#include "Inputs.h"
#include "NetworkThread.h"
#include "NubeloConnections.h"
#include "NubeloConnections_p.h"
#include "PhotoHost.h"
#include "Spawn.h"
#include "WebExtensions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonDocument>
#include <QProcess>
#include <QSaveFile>
#include <QUrl>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>

namespace bench {

namespace {

constexpr double kFailed = std::numeric_limits<double>::quiet_NaN();
const QString kEmail = QStringLiteral("bench@nubelo.example");
const QString kPassword = QStringLiteral("bench-password");
constexpr int kBox = 640;

void say(const QString &text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A "NAME SECONDS" line that a child printed.
double phase(const QByteArray &out, const char *name) {
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 2 && words.first() == name)
            return words.at(1).toDouble();
    }
    return kFailed;
}

QString firstLine(const QByteArray &bytes) {
    return QString::fromLocal8Bit(bytes.left(bytes.indexOf('\n'))).trimmed();
}

// Runs the sides of one comparison in turn, `reps` times, starting each round with the next
// side, so a change of load falls on all of them alike. A side answers its time in seconds, or
// NaN after it has put the reason into *why.
struct Side {
    QString name;
    std::function<double(QString *why)> run;
    QList<double> samples;
};

bool alternate(QList<Side> &sides, int reps, QString *why) {
    for (int rep = 0; rep < reps; ++rep) {
        for (qsizetype k = 0; k < sides.size(); ++k) {
            Side &side = sides[(rep + k) % sides.size()];
            const double seconds = side.run(why);
            if (std::isnan(seconds)) {
                *why = side.name + QStringLiteral(": ") + *why;
                return false;
            }
            side.samples.append(seconds);
        }
    }
    return true;
}

QList<double> scaled(const QList<double> &samples, double factor) {
    QList<double> result;
    for (double sample : samples)
        result.append(sample * factor);
    return result;
}

bool freshFolder(const QString &path) {
    QDir dir(path);
    if (dir.exists() && !dir.removeRecursively())
        return false;
    return QDir().mkpath(path);
}

qint64 totalSize(const QStringList &files) {
    qint64 total = 0;
    for (const QString &file : files)
        total += QFileInfo(file).size();
    return total;
}

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

QString toolVersion(const QString &program, const QStringList &arguments) {
    const Outcome outcome = run(Command{program, arguments, {}});
    return firstLine(outcome.out.isEmpty() ? outcome.err : outcome.out);
}

// The stand-in site as its own program, with one account for both sides.
class SiteProcess {
public:
    ~SiteProcess() { stop(); }

    bool start(const QString &program, const QString &dataDir, QString *why) {
        stop();
        if (!freshFolder(dataDir)) {
            *why = dataDir + QStringLiteral(": cannot be emptied");
            return false;
        }
        m_dataDir = dataDir;
        m_process.setProgram(program);
        m_process.setArguments({QStringLiteral("--data"), dataDir, QStringLiteral("--account"),
                                kEmail + QLatin1Char(':') + kPassword});
        m_process.setStandardErrorFile(dataDir + QStringLiteral(".log"));
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            *why = program + QStringLiteral(": ") + m_process.errorString();
            return false;
        }
        QByteArray text;
        const double deadline = now() + 15;
        while (!text.contains("upload-host ") || !text.endsWith('\n')) {
            if (now() > deadline || m_process.state() != QProcess::Running ||
                (!m_process.waitForReadyRead(1000) && m_process.state() != QProcess::Running)) {
                *why = QStringLiteral("nubelo-site did not start");
                return false;
            }
            text += m_process.readAllStandardOutput();
        }
        for (const QByteArray &line : text.split('\n')) {
            if (line.startsWith("site-host "))
                siteHost = QString::fromLatin1(line.mid(10)).trimmed();
            else if (line.startsWith("upload-host "))
                uploadHost = QString::fromLatin1(line.mid(12)).trimmed();
        }
        return !siteHost.isEmpty() && !uploadHost.isEmpty();
    }

    void stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
        if (!m_dataDir.isEmpty())
            QDir(m_dataDir).removeRecursively();
        m_dataDir.clear();
    }

    QStringList environment() const {
        return {QStringLiteral("NUBELO_SITE_HOST=") + siteHost,
                QStringLiteral("NUBELO_UPLOAD_HOST=") + uploadHost,
                QStringLiteral("NUBELO_PASSWORD=") + kPassword};
    }

    QString siteUrl(const QString &query) const {
        return QStringLiteral("http://") + siteHost + QStringLiteral("/") + query;
    }
    QString uploadUrl() const {
        return QStringLiteral("http://") + uploadHost + QStringLiteral("/?upload=1&iframe=1");
    }

    QString siteHost, uploadHost;

private:
    QProcess m_process;
    QString m_dataDir;
};

class Bench {
public:
    explicit Bench(const Options &options)
        : o(options) {}

    int run();

private:
    void probeTools();
    bool prepare(QString *why);
    void photosToPng();
    void uploads();
    void wholeRun();
    void signIn();
    void supportLibrary();

    bool wanted(int comparison) const {
        return o.only.isEmpty() || o.only.contains(QString::number(comparison));
    }
    Figure &add(const QString &id, const QString &title, const QString &unit) {
        Figure figure;
        figure.id = id;
        figure.title = title;
        figure.unit = unit;
        figures.push_back(figure);
        return figures.back();
    }
    // A side that failed: the run as a whole fails.
    void skip(const QStringList &ids, const QString &why) {
        failed = true;
        missing(ids, why);
    }
    // A reference tool that is not installed: the figure stays empty, the run goes on.
    void missing(const QStringList &ids, const QString &why) {
        for (Figure &figure : figures) {
            if (ids.contains(figure.id))
                figure.skipped = why;
        }
        say(QStringLiteral("  not measured: ") + why);
    }
    int megapixels() const {
        const QSize size = photos.isEmpty() ? QSize() : photos.first().upright;
        return int(std::lround(double(size.width()) * size.height() / 1e6));
    }
    QString folder(const QString &name) const { return o.out + QLatin1Char('/') + name; }

    // One curl process: sign in, the given uploads, sign out; every answer must be the one
    // the site gives a signed-in user. Its time, and the uploads' own time from curl's count.
    double curlSession(const SiteProcess &site, const QList<QStringList> &uploads,
                       double *uploadSeconds, QString *why, long *switches = nullptr,
                       double *cpuSeconds = nullptr);

    const Options &o;
    std::deque<Figure> figures; // references to its elements stay valid as it grows
    Machine machine;
    QList<Photo> photos; // the camera photos
    QStringList pngs;    // the photos as PhotoHost writes them, one per photo
    QString vips, convert, curl;
    int batch = 20;       // photos in the conversion comparison
    int uploadCount = 50; // photos in the upload and whole-run comparisons
    int smallRun = 10;    // the smaller run of the memory figure
    QList<double> rss50;  // peak RSS of nubelo-export in the whole-run comparison
    bool failed = false;  // a side failed: the harness or the measured code is broken
};

void Bench::probeTools() {
    vips = findProgram(QStringLiteral("vipsthumbnail"));
    convert = findProgram(QStringLiteral("/usr/bin/convert"));
    curl = findProgram(QStringLiteral("curl"));
    // "libvips 8.14.1", "Version: ImageMagick 6.9.11-60 Q16 ...", "curl 7.88.1 (x86_64-...) ..."
    if (!vips.isEmpty())
        machine.tools.append(QStringLiteral("vipsthumbnail (") +
                             toolVersion(vips, {QStringLiteral("--vips-version")}) +
                             QLatin1Char(')'));
    if (!convert.isEmpty())
        machine.tools.append(
            toolVersion(convert, {QStringLiteral("-version")}).section(QLatin1Char(' '), 1, 2));
    if (!curl.isEmpty())
        machine.tools.append(
            toolVersion(curl, {QStringLiteral("--version")}).section(QLatin1Char(' '), 0, 1));
}

bool Bench::prepare(QString *why) {
    if (o.quick) {
        batch = 3;
        uploadCount = 4;
        smallRun = 2;
    }
    const QSize size = o.quick ? QSize(1200, 900) : QSize(4000, 3000);
    const int count = std::max(batch, uploadCount);
    say(QStringLiteral("making %1 photos of %2 x %3 in %4 (kept for later runs)")
            .arg(count)
            .arg(size.width())
            .arg(size.height())
            .arg(folder(QStringLiteral("photos"))));
    photos = makePhotos(folder(o.quick ? QStringLiteral("photos-quick") : QStringLiteral("photos")),
                        count, size, why);
    if (photos.isEmpty())
        return false;

    // The scratch files every upload figure sends: what PhotoHost makes of each photo.
    const QString pngFolder = folder(QStringLiteral("png"));
    if (!freshFolder(pngFolder)) {
        *why = pngFolder + QStringLiteral(": cannot be emptied");
        return false;
    }
    QStringList paths;
    for (const Photo &photo : photos)
        paths.append(photo.path);
    const Outcome made = bench::run(
        Command{o.self, QStringList{QStringLiteral("--child-export"), pngFolder} + paths, {}});
    if (!made.ok()) {
        *why = made.describe(Command{o.self, {}, {}});
        return false;
    }
    for (int i = 0; i < photos.size(); ++i)
        pngs.append(QStringLiteral("%1/sfe-%2.png").arg(pngFolder).arg(i));
    return true;
}

// --- 1: photos to 640 PNGs --------------------------------------------------------------------

void Bench::photosToPng() {
    say(QStringLiteral("1. %1 photos to PNGs of at most 640 x 640").arg(batch));
    Figure &vs = add(QStringLiteral("1a"), QStringLiteral("Photo to 640 PNG, per photo"),
                     QStringLiteral("ms"));
    vs.reference = QStringLiteral("vipsthumbnail");
    vs.aim = Figure::Aim::RatioAtMost;
    vs.limit = 1.0;
    Figure &im = add(QStringLiteral("1b"), QStringLiteral("Photo to 640 PNG, per photo"),
                     QStringLiteral("ms"));
    im.reference = QStringLiteral("ImageMagick");
    im.aim = Figure::Aim::RatioAtMost;
    im.limit = 0.5;
    Figure &bytes = add(QStringLiteral("1c"), QStringLiteral("PNG file size, per photo"),
                        QStringLiteral("KiB"));
    bytes.reference = QStringLiteral("ImageMagick");
    bytes.aim = Figure::Aim::RatioAtMost;
    bytes.limit = 1.0;
    const QStringList ids{QStringLiteral("1a"), QStringLiteral("1b"), QStringLiteral("1c")};
    if (vips.isEmpty() || convert.isEmpty()) {
        missing(ids, QStringLiteral("vipsthumbnail or /usr/bin/convert is not installed"));
        return;
    }

    const QList<Photo> set = photos.mid(0, batch);
    QStringList inputs;
    for (const Photo &photo : set)
        inputs.append(photo.path);
    const QString oursDir = folder(QStringLiteral("1-ours"));
    const QString vipsDir = folder(QStringLiteral("1-vips"));
    const QString imDir = folder(QStringLiteral("1-imagemagick"));
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
             if (!outcome.ok()) {
                 *why = outcome.describe(command);
                 return kFailed;
             }
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
             const Command command{vips,
                                   QStringList{QStringLiteral("--size=640x640"),
                                               QStringLiteral("--output=") + vipsDir +
                                                   QStringLiteral("/%s.png[strip]")} +
                                       inputs,
                                   {}};
             const Outcome outcome = bench::run(command);
             if (!outcome.ok()) {
                 *why = outcome.describe(command);
                 return kFailed;
             }
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
                 const Command command{convert,
                                       {inputs.at(i), QStringLiteral("-auto-orient"),
                                        QStringLiteral("-resize"), QStringLiteral("640x640"),
                                        QStringLiteral("-strip"), imFiles.at(i)},
                                       {}};
                 const Outcome outcome = bench::run(command);
                 if (!outcome.ok()) {
                     *why = outcome.describe(command);
                     return kFailed;
                 }
                 total += outcome.seconds;
             }
             return total;
         },
         {}},
    };
    QString why;
    if (!alternate(sides, o.reps, &why)) {
        skip(ids, why);
        return;
    }
    for (const auto &[files, name] : {std::pair{oursFiles, QStringLiteral("PhotoHost")},
                                      std::pair{vipsFiles, QStringLiteral("vipsthumbnail")},
                                      std::pair{imFiles, QStringLiteral("ImageMagick")}}) {
        const QString wrong = checkOutputs(files, set);
        if (!wrong.isEmpty()) {
            skip(ids, name + QStringLiteral(" made a wrong picture: ") + wrong);
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
                  .arg(megapixels())
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

// --- 2: uploads -------------------------------------------------------------------------------

double Bench::curlSession(const SiteProcess &site, const QList<QStringList> &uploads,
                          double *uploadSeconds, QString *why, long *switches, double *cpuSeconds) {
    // An empty jar file turns curl's cookie engine on; the transfers of one curl process share
    // its cookies, so the session cookie of the sign-in goes with every later request.
    const QString jar = folder(QStringLiteral("curl-jar.txt"));
    QFile(jar).open(QIODevice::WriteOnly | QIODevice::Truncate);
    const QString format = QStringLiteral("%{http_code} %{time_total}\\n");
    const QStringList common{QStringLiteral("-sS"),
                             QStringLiteral("-o"),
                             QStringLiteral("/dev/null"),
                             QStringLiteral("-b"),
                             jar,
                             QStringLiteral("-w"),
                             format};
    QStringList arguments = common;
    arguments << QStringLiteral("--data")
              << QStringLiteral("email=%1&input_password=%2")
                     .arg(QString::fromLatin1(QUrl::toPercentEncoding(kEmail)),
                          QString::fromLatin1(QUrl::toPercentEncoding(kPassword)))
              << site.siteUrl(QStringLiteral("?m=Login&func=do_login"));
    for (const QStringList &upload : uploads)
        arguments << QStringLiteral("--next") << common << upload << site.uploadUrl();
    arguments << QStringLiteral("--next") << common
              << site.siteUrl(QStringLiteral("?m=Logout&func=log_out"));

    const Command command{curl, arguments, {}};
    const Outcome outcome = bench::run(command);
    if (!outcome.ok()) {
        *why = outcome.describe(command);
        return kFailed;
    }
    const QList<QByteArray> lines = outcome.out.trimmed().split('\n');
    if (lines.size() != uploads.size() + 2 || !lines.first().startsWith("302 ")) {
        *why = QStringLiteral("curl's sign-in or transfers went wrong: ") +
               QString::fromLatin1(outcome.out.left(200));
        return kFailed;
    }
    *uploadSeconds = 0;
    for (qsizetype i = 1; i <= uploads.size(); ++i) {
        const QList<QByteArray> words = lines.at(i).split(' ');
        if (words.first() != "200") {
            *why = QStringLiteral("curl's upload %1 was answered %2")
                       .arg(i)
                       .arg(QString::fromLatin1(words.first()));
            return kFailed;
        }
        *uploadSeconds += words.value(1).toDouble();
    }
    if (switches)
        *switches = outcome.contextSwitches;
    if (cpuSeconds)
        *cpuSeconds = outcome.cpuSeconds;
    return outcome.seconds;
}

void Bench::uploads() {
    say(QStringLiteral("2. %1 uploads on loopback to nubelo-site").arg(uploadCount));
    Figure &f = add(QStringLiteral("2"), QStringLiteral("Upload on loopback, per photo"),
                    QStringLiteral("ms"));
    f.reference = QStringLiteral("curl");
    f.aim = Figure::Aim::RatioAtMost;
    f.limit = 1.1;
    if (curl.isEmpty()) {
        missing({f.id}, QStringLiteral("curl is not installed"));
        return;
    }
    SiteProcess site;
    QString why;
    if (!site.start(o.siteProgram, folder(QStringLiteral("site-2")), &why)) {
        skip({f.id}, why);
        return;
    }
    // The very bytes uploadImage puts on the wire, for curl to send as they are.
    const QString bodies = folder(QStringLiteral("bodies"));
    freshFolder(bodies);
    const QStringList files = pngs.mid(0, uploadCount);
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
            skip({f.id}, path + QStringLiteral(": ") + out.errorString());
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
             if (!outcome.ok()) {
                 *why = outcome.describe(command);
                 return kFailed;
             }
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
                 curlSession(site, curlUploads, &phaseSeconds, why, &switches, &cpu);
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
             if (!outcome.ok()) {
                 *why = outcome.describe(command);
                 return kFailed;
             }
             syncUploadPhase.append(phase(outcome.out, "uploads"));
             return outcome.seconds;
         },
         {}},
    };
    if (!alternate(sides, o.reps, &why)) {
        skip({f.id}, why);
        return;
    }
    const double perPhoto = 1000.0 / double(files.size());
    f.oursSamples = scaled(sides.at(0).samples, perPhoto);
    f.referenceSamples = scaled(sides.at(1).samples, perPhoto);
    f.ours = median(f.oursSamples);
    f.referenceValue = median(f.referenceSamples);
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

// --- 3 and 5: the whole run, and its memory ----------------------------------------------------

void Bench::wholeRun() {
    say(QStringLiteral("3. the whole run of %1 photos, and 5. its memory").arg(uploadCount));
    Figure &run = add(QStringLiteral("3"), QStringLiteral("Whole run: convert and upload"),
                      QStringLiteral("s"));
    run.reference = QStringLiteral("vipsthumbnail + curl");
    run.aim = Figure::Aim::RatioAtMost;
    run.limit = 1.0;
    Figure &small = add(QStringLiteral("5a"),
                        QStringLiteral("Peak RSS of nubelo-export, %1 photos").arg(smallRun),
                        QStringLiteral("MiB"));
    small.aim = Figure::Aim::ValueBelow;
    small.limit = 150;
    Figure &large = add(QStringLiteral("5b"),
                        QStringLiteral("Peak RSS of nubelo-export, %1 photos").arg(uploadCount),
                        QStringLiteral("MiB"));
    large.aim = Figure::Aim::ValueBelow;
    large.limit = 150;
    Figure &growth =
        add(QStringLiteral("5c"),
            QStringLiteral("Growth from %1 to %2 photos").arg(smallRun).arg(uploadCount),
            QStringLiteral("MiB"));
    growth.aim = Figure::Aim::ValueAtMost;
    growth.limit = 5;
    const QStringList ids{QStringLiteral("3"), QStringLiteral("5a"), QStringLiteral("5b"),
                          QStringLiteral("5c")};

    SiteProcess site;
    QString why;
    if (!site.start(o.siteProgram, folder(QStringLiteral("site-3")), &why)) {
        skip(ids, why);
        return;
    }
    const QList<Photo> set = photos.mid(0, uploadCount);
    QStringList inputs, vipsFiles;
    const QString scratch = folder(QStringLiteral("3-scratch"));
    const QString vipsDir = folder(QStringLiteral("3-vips"));
    for (const Photo &photo : set) {
        inputs.append(photo.path);
        vipsFiles.append(
            QStringLiteral("%1/%2.png").arg(vipsDir, QFileInfo(photo.path).completeBaseName()));
    }
    QList<QStringList> curlUploads;
    for (const QString &file : vipsFiles) {
        // The site's own form, as curl builds it: the same four fields, curl's own boundary.
        curlUploads.append(
            {QStringLiteral("-H"), QStringLiteral("Expect:"), QStringLiteral("-F"),
             QStringLiteral("iPhoto.png=@%1;type=image/png;filename=iPhoto.png").arg(file),
             QStringLiteral("-F"), QStringLiteral("func=addq"), QStringLiteral("-F"),
             QStringLiteral("wf="), QStringLiteral("-F"), QStringLiteral("rotate=0")});
    }
    // Through nubelo-bench-rss, which reports the program's own peak memory.
    const QString report = folder(QStringLiteral("3-peak-memory.txt"));
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
    QList<Side> sides{
        {QStringLiteral("nubelo-export"),
         [&](QString *why) {
             const Command command = exportCommand(inputs);
             const Outcome outcome = bench::run(command);
             if (!outcome.ok()) {
                 *why = outcome.describe(command);
                 return kFailed;
             }
             const double peak = peakMiB();
             if (std::isnan(peak)) {
                 *why = QStringLiteral("nubelo-bench-rss reported no peak memory");
                 return kFailed;
             }
             rss50.append(peak);
             return outcome.seconds;
         },
         {}},
        {QStringLiteral("vipsthumbnail + curl"),
         [&](QString *why) {
             if (!freshFolder(vipsDir)) {
                 *why = vipsDir + QStringLiteral(": cannot be emptied");
                 return kFailed;
             }
             const Command convert{vips,
                                   QStringList{QStringLiteral("--size=640x640"),
                                               QStringLiteral("--output=") + vipsDir +
                                                   QStringLiteral("/%s.png[strip]")} +
                                       inputs,
                                   {}};
             const Outcome converted = bench::run(convert);
             if (!converted.ok()) {
                 *why = converted.describe(convert);
                 return kFailed;
             }
             double uploadSeconds = 0;
             const double sent = curlSession(site, curlUploads, &uploadSeconds, why);
             return converted.seconds + sent;
         },
         {}},
        {QStringLiteral("nubelo-export (fewer photos)"),
         [&](QString *why) {
             const Command command = exportCommand(inputs.mid(0, smallRun));
             const Outcome outcome = bench::run(command);
             if (!outcome.ok()) {
                 *why = outcome.describe(command);
                 return kFailed;
             }
             const double peak = peakMiB();
             if (std::isnan(peak)) {
                 *why = QStringLiteral("nubelo-bench-rss reported no peak memory");
                 return kFailed;
             }
             rssSmall.append(peak);
             return outcome.seconds;
         },
         {}},
    };
    const bool tools = !vips.isEmpty() && !curl.isEmpty();
    if (!tools)
        sides.removeAt(1); // the memory figures stand without the reference tools
    if (!alternate(sides, o.reps, &why)) {
        skip(ids, why);
        return;
    }
    if (!tools) {
        missing({run.id}, QStringLiteral("vipsthumbnail or curl is not installed"));
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
                       .arg(megapixels());
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

// --- 4: sign-in -------------------------------------------------------------------------------

void Bench::signIn() {
    say(QStringLiteral("4. sign-in round trip"));
    Figure &f = add(QStringLiteral("4"), QStringLiteral("Sign-in (authenticate) on loopback"),
                    QStringLiteral("ms"));
    f.aim = Figure::Aim::ValueBelow;
    f.limit = 20;
    SiteProcess site;
    QString why;
    if (!site.start(o.siteProgram, folder(QStringLiteral("site-4")), &why)) {
        skip({f.id}, why);
        return;
    }
    PluginConfig config;
    config.siteHost = site.siteHost;
    config.uploadHost = site.uploadHost;
    {
        NubeloConnections client(config);
        // The first exchange also starts the network thread and opens the connection.
        client.authenticate(kEmail, kPassword);
        client.closeSession();
        const int reps = std::max(o.reps, o.quick ? 1 : 20);
        for (int i = 0; i < reps; ++i) {
            const auto begin = std::chrono::steady_clock::now();
            client.authenticate(kEmail, kPassword);
            const auto end = std::chrono::steady_clock::now();
            if (client.getState() != SessionLoggedIn) {
                skip({f.id}, QStringLiteral("the sign-in failed"));
                return;
            }
            f.oursSamples.append(std::chrono::duration<double, std::milli>(end - begin).count());
            client.closeSession();
        }
    }
    f.ours = median(f.oursSamples);
    f.note = QStringLiteral("In-process, the login form's POST and its redirect with the "
                            "session cookie, then the home page; median of %1, the slowest %2 ms.")
                 .arg(f.oursSamples.size())
                 .arg(*std::max_element(f.oursSamples.begin(), f.oursSamples.end()), 0, 'f', 1);
}

// --- 6: the support library -------------------------------------------------------------------

QByteArray evpDigest(const QByteArray &bytes, const EVP_MD *type) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &length, type, nullptr) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

void Bench::supportLibrary() {
    const qsizetype length = o.quick ? qsizetype(64) << 10 : qsizetype(64) << 20;
    say(QStringLiteral("6. the support library on %1 Mi characters")
            .arg(double(length) / (1 << 20)));
    const QString text = makeText(length);
    const QByteArray bytes = text.toLatin1(); // every character is below U+0100
    const QByteArray utf8 = text.toUtf8();
    const QByteArray base64 = bytes.toBase64();
    const QString base64Text = QString::fromLatin1(base64);

    struct Pair {
        QString id, title, reference;
        double limit;
        std::function<bool()> ours, theirs;
    };
    const QList<Pair> pairs{
        {QStringLiteral("6a"), QStringLiteral("Base64 encode of data"),
         QStringLiteral("QByteArray::toBase64"), 1.5,
         [&] { return WebExtensions::stringUsingBase64Encoding(bytes).size() == base64.size(); },
         [&] {
             return bytes.toBase64().size() == base64.size();
         }},
        {QStringLiteral("6b"), QStringLiteral("Base64 encode of a string"),
         QStringLiteral("QByteArray::toBase64"), 1.5,
         [&] { return WebExtensions::stringUsingBase64Encoding(text).size() == base64.size(); },
         [&] {
             return bytes.toBase64().size() == base64.size();
         }},
        {QStringLiteral("6c"), QStringLiteral("Base64 decode"),
         QStringLiteral("QByteArray::fromBase64"), 1.5,
         [&] { return WebExtensions::dataUsingBase64Decoding(base64Text) == bytes; },
         [&] {
             return QByteArray::fromBase64(base64).size() == bytes.size();
         }},
        {QStringLiteral("6d"), QStringLiteral("MD5 of a string (hex)"),
         QStringLiteral("EVP_Digest on its UTF-8"), 2.5,
         [&] { return WebExtensions::stringUsingMD5HexadecimalHash(text).size() == 32; },
         [&] {
             return evpDigest(utf8, EVP_md5()).size() == 32;
         }},
        {QStringLiteral("6e"), QStringLiteral("SHA-1 of a string (hex)"),
         QStringLiteral("EVP_Digest on its UTF-8"), 2.5,
         [&] { return WebExtensions::stringUsingSHA1HexadecimalHash(text).size() == 40; },
         [&] {
             return evpDigest(utf8, EVP_sha1()).size() == 40;
         }},
    };
    // The answers must agree before their times mean anything.
    if (WebExtensions::stringUsingBase64Encoding(bytes) != base64Text ||
        WebExtensions::stringUsingSHA1HexadecimalHash(text) !=
            QString::fromLatin1(evpDigest(utf8, EVP_sha1())) ||
        WebExtensions::stringUsingMD5HexadecimalHash(text) !=
            QString::fromLatin1(evpDigest(utf8, EVP_md5()))) {
        for (const Pair &pair : pairs)
            add(pair.id, pair.title, QStringLiteral("ms"));
        skip({QStringLiteral("6a"), QStringLiteral("6b"), QStringLiteral("6c"),
              QStringLiteral("6d"), QStringLiteral("6e")},
             QStringLiteral("the answers differ from the reference"));
        return;
    }
    const auto timed = [](const std::function<bool()> &work, QString *why) {
        const double begin = now();
        const bool ok = work();
        const double seconds = now() - begin;
        if (!ok) {
            *why = QStringLiteral("wrong answer");
            return kFailed;
        }
        return seconds;
    };
    // What the digests cannot avoid: the string's UTF-8 form, here as Qt makes it, and the
    // digest of that.
    QList<double> conversion, md5Whole, sha1Whole;
    for (int i = 0; i < o.reps; ++i) {
        double begin = now();
        const qsizetype size = text.toUtf8().size();
        conversion.append((now() - begin) * 1000.0 + double(size != utf8.size()));
        begin = now();
        const QByteArray md5 = evpDigest(text.toUtf8(), EVP_md5());
        md5Whole.append((now() - begin) * 1000.0 + double(md5.isEmpty()));
        begin = now();
        const QByteArray sha1 = evpDigest(text.toUtf8(), EVP_sha1());
        sha1Whole.append((now() - begin) * 1000.0 + double(sha1.isEmpty()));
    }
    for (const Pair &pair : pairs) {
        Figure &f = add(pair.id, pair.title, QStringLiteral("ms"));
        f.reference = pair.reference;
        f.aim = Figure::Aim::RatioAtMost;
        f.limit = pair.limit;
        // Once each before the clock runs: the first call loads what the library loads lazily.
        pair.ours();
        pair.theirs();
        QList<Side> sides{
            {QStringLiteral("ours"), [&](QString *why) { return timed(pair.ours, why); }, {}},
            {pair.reference, [&](QString *why) { return timed(pair.theirs, why); }, {}},
        };
        QString why;
        if (!alternate(sides, o.reps, &why)) {
            skip({f.id}, why);
            continue;
        }
        f.oursSamples = scaled(sides.at(0).samples, 1000.0);
        f.referenceSamples = scaled(sides.at(1).samples, 1000.0);
        f.ours = median(f.oursSamples);
        f.referenceValue = median(f.referenceSamples);
    }
    const QString what = QStringLiteral("%1 Mi characters, one in ten an accented Latin-1 letter")
                             .arg(double(length) / (1 << 20));
    figures[figures.size() - 5].note = what + QStringLiteral(", handed over as their bytes.");
    figures[figures.size() - 4].note =
        what + QStringLiteral(": ours reads the string's low bytes, the reference is handed "
                              "those bytes ready-made.");
    figures[figures.size() - 3].note =
        QStringLiteral("Ours reads the text as a string, the reference as bytes.");
    const QString digestNote =
        QStringLiteral("Ours includes the string's UTF-8 conversion: Qt's toUtf8 alone takes %1 "
                       "ms on this text, and toUtf8 followed by EVP_Digest %2 ms.");
    figures[figures.size() - 2].note =
        digestNote.arg(median(conversion), 0, 'f', 1).arg(median(md5Whole), 0, 'f', 1);
    figures[figures.size() - 1].note =
        digestNote.arg(median(conversion), 0, 'f', 1).arg(median(sha1Whole), 0, 'f', 1);
}

int Bench::run() {
    machine = Machine::probe();
    machine.build = QStringLiteral("built %1").arg(QStringLiteral(NUBELO_BENCH_BUILD_TYPE));
    if (!QDir().mkpath(o.out)) {
        say(o.out + QStringLiteral(": cannot be created"));
        return 1;
    }
    probeTools();
    QString why;
    const bool needPhotos = wanted(1) || wanted(2) || wanted(3) || wanted(5);
    if (needPhotos && !prepare(&why)) {
        say(QStringLiteral("nubelo-bench: ") + why);
        return 1;
    }
    if (wanted(1))
        photosToPng();
    if (wanted(2))
        uploads();
    if (wanted(3) || wanted(5))
        wholeRun();
    if (wanted(4))
        signIn();
    if (wanted(6))
        supportLibrary();
    platform::shutdown();
    machine.loadAfter = Machine::load();

    QList<Figure> list(figures.begin(), figures.end());
    std::stable_sort(list.begin(), list.end(),
                     [](const Figure &a, const Figure &b) { return a.id < b.id; });
    const QString table = markdown(list, machine);
    std::printf("\n%s", qPrintable(table));
    std::fflush(stdout);
    const QJsonDocument json(toJson(list, machine, o.quick, o.reps));
    for (const auto &[name, content] : {std::pair{QStringLiteral("results.json"), json.toJson()},
                                        std::pair{QStringLiteral("results.md"), table.toUtf8()}}) {
        QSaveFile file(folder(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) < 0 || !file.commit()) {
            say(file.fileName() + QStringLiteral(": ") + file.errorString());
            return 1;
        }
    }
    say(QStringLiteral("written: %1").arg(folder(QStringLiteral("results.json"))));
    return failed ? 1 : 0;
}

} // namespace

int runBench(const Options &options) {
    Bench bench(options);
    return bench.run();
}

} // namespace bench
