#include "Harness.h"

#include "SiteProcess.h"
#include "Spawn.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace bench {

namespace {

QString firstLine(const QByteArray &bytes) {
    return QString::fromLocal8Bit(bytes.left(bytes.indexOf('\n'))).trimmed();
}

QString toolVersion(const QString &program, const QStringList &arguments) {
    const Outcome outcome = run(Command{program, arguments, {}});
    return firstLine(outcome.out.isEmpty() ? outcome.err : outcome.out);
}

} // namespace

void say(const QString &text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double phase(const QByteArray &out, const char *name) {
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 2 && words.first() == name)
            return words.at(1).toDouble();
    }
    return kFailed;
}

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

bool Harness::begin(bool needPhotos) {
    mMachine = Machine::probe();
    mMachine.build = QStringLiteral("built %1").arg(QStringLiteral(NUBELO_BENCH_BUILD_TYPE));
    if (!QDir().mkpath(mOptions.out)) {
        say(mOptions.out + QStringLiteral(": cannot be created"));
        return false;
    }
    probeTools();
    QString why;
    if (needPhotos && !prepare(&why)) {
        say(QStringLiteral("nubelo-bench: ") + why);
        return false;
    }
    return true;
}

int Harness::finish() {
    mMachine.loadAfter = Machine::load();

    QList<Figure> list(mFigures.begin(), mFigures.end());
    std::stable_sort(list.begin(), list.end(),
                     [](const Figure &a, const Figure &b) { return a.id < b.id; });
    const QString table = markdown(list, mMachine);
    std::printf("\n%s", qPrintable(table));
    std::fflush(stdout);
    const QJsonDocument json(toJson(list, mMachine, mOptions.quick, mOptions.reps));
    for (const auto &[name, content] : {std::pair{QStringLiteral("results.json"), json.toJson()},
                                        std::pair{QStringLiteral("results.md"), table.toUtf8()}}) {
        QSaveFile file(folder(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) < 0 || !file.commit()) {
            say(file.fileName() + QStringLiteral(": ") + file.errorString());
            return 1;
        }
    }
    say(QStringLiteral("written: %1").arg(folder(QStringLiteral("results.json"))));
    return mFailed ? 1 : 0;
}

Figure &Harness::add(const QString &id, const QString &title, const QString &unit) {
    Figure figure;
    figure.id = id;
    figure.title = title;
    figure.unit = unit;
    mFigures.push_back(figure);
    return mFigures.back();
}

void Harness::skip(const QStringList &ids, const QString &why) {
    mFailed = true;
    missing(ids, why);
}

void Harness::missing(const QStringList &ids, const QString &why) {
    for (Figure &figure : mFigures) {
        if (ids.contains(figure.id))
            figure.skipped = why;
    }
    say(QStringLiteral("  not measured: ") + why);
}

int Harness::megapixels() const {
    const QSize size = mSetup.photos.isEmpty() ? QSize() : mSetup.photos.first().upright;
    return int(std::lround(double(size.width()) * size.height() / 1e6));
}

void Harness::probeTools() {
    mSetup.vips = findProgram(QStringLiteral("vipsthumbnail"));
    mSetup.convert = findProgram(QStringLiteral("/usr/bin/convert"));
    mSetup.curl = findProgram(QStringLiteral("curl"));
    // "libvips 8.14.1", "Version: ImageMagick 6.9.11-60 Q16 ...", "curl 7.88.1 (x86_64-...) ..."
    if (!mSetup.vips.isEmpty())
        mMachine.tools.append(QStringLiteral("vipsthumbnail (") +
                              toolVersion(mSetup.vips, {QStringLiteral("--vips-version")}) +
                              QLatin1Char(')'));
    if (!mSetup.convert.isEmpty())
        mMachine.tools.append(toolVersion(mSetup.convert, {QStringLiteral("-version")})
                                  .section(QLatin1Char(' '), 1, 2));
    if (!mSetup.curl.isEmpty())
        mMachine.tools.append(toolVersion(mSetup.curl, {QStringLiteral("--version")})
                                  .section(QLatin1Char(' '), 0, 1));
}

bool Harness::prepare(QString *why) {
    if (mOptions.quick) {
        mSetup.batch = 3;
        mSetup.uploadCount = 4;
        mSetup.smallRun = 2;
    }
    const QSize size = mOptions.quick ? QSize(1200, 900) : QSize(4000, 3000);
    const int count = std::max(mSetup.batch, mSetup.uploadCount);
    say(QStringLiteral("making %1 photos of %2 x %3 in %4 (kept for later runs)")
            .arg(count)
            .arg(size.width())
            .arg(size.height())
            .arg(folder(QStringLiteral("photos"))));
    mSetup.photos = makePhotos(
        folder(mOptions.quick ? QStringLiteral("photos-quick") : QStringLiteral("photos")), count,
        size, why);
    if (mSetup.photos.isEmpty())
        return false;

    // The scratch files every upload figure sends: what PhotoHost makes of each photo.
    const QString pngFolder = folder(QStringLiteral("png"));
    if (!freshFolder(pngFolder)) {
        *why = pngFolder + QStringLiteral(": cannot be emptied");
        return false;
    }
    QStringList paths;
    for (const Photo &photo : mSetup.photos)
        paths.append(photo.path);
    const Outcome made = bench::run(Command{
        mOptions.self, QStringList{QStringLiteral("--child-export"), pngFolder} + paths, {}});
    if (!made.ok()) {
        *why = made.describe(Command{mOptions.self, {}, {}});
        return false;
    }
    for (int i = 0; i < mSetup.photos.size(); ++i)
        mSetup.pngs.append(QStringLiteral("%1/sfe-%2.png").arg(pngFolder).arg(i));
    return true;
}

// --- 2: uploads -------------------------------------------------------------------------------

QStringList Harness::curlFormUpload(const QString &png) {
    return {QStringLiteral("-H"),
            QStringLiteral("Expect:"),
            QStringLiteral("-F"),
            QStringLiteral("iPhoto.png=@%1;type=image/png;filename=iPhoto.png").arg(png),
            QStringLiteral("-F"),
            QStringLiteral("func=addq"),
            QStringLiteral("-F"),
            QStringLiteral("wf="),
            QStringLiteral("-F"),
            QStringLiteral("rotate=0")};
}

double Harness::curlSession(const SiteProcess &site, const QList<QStringList> &uploads,
                            double *uploadSeconds, QString *why, long *switches,
                            double *cpuSeconds) {
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

    const Command command{mSetup.curl, arguments, {}};
    const Outcome outcome = bench::run(command);
    if (outcome.failed(command, why))
        return kFailed;
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

} // namespace bench
