// nubelo-export end to end: the real program against the stand-in site on loopback, as the
// nubelo-site program and in-process (where a test needs the site's faults and delays).

#include "NubeloSite.h"
#include "StandInSite.h"

#include <QtTest>

#include <QDirIterator>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

namespace {

using nubelo::site::Exchange;

const QString kEmail = QStringLiteral("ana@example.org");
const QString kPassword = QStringLiteral("correct horse");

struct Outcome {
    int code = -1; // -1: crashed or did not end in time
    QByteArray out;
    QByteArray err;
};

QString buildDir() {
    return qEnvironmentVariable("NUBELO_BUILD_DIR");
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The photos a site keeps under `dataDir`, in the order they arrived.
QStringList storedPhotos(const QString &dataDir) {
    QStringList found;
    QDirIterator it(dataDir, {QStringLiteral("photo-*.png")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next());
    found.sort();
    return found;
}

int count(const std::vector<nubelo::site::JournalEntry> &journal, Exchange exchange) {
    return int(std::count_if(journal.begin(), journal.end(),
                             [exchange](const auto &entry) { return entry.exchange == exchange; }));
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private:
    QTemporaryDir mFiles; // the test photos and anything else the tests make
    QStringList mPhotos;
    std::unique_ptr<QTemporaryDir> mWork; // one per test: scratch folder, site data, home
    std::unique_ptr<nubelo::site::Site> mSite;

    QString work(const QString &name) const { return mWork->filePath(name); }
    QString scratch() const { return work(QStringLiteral("scratch")); }

    // The environment of a run: no site, password or logging settings from outside.
    QProcessEnvironment environment(bool withSite = true) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"NUBELO_SITE_HOST", "NUBELO_UPLOAD_HOST", "NUBELO_PASSWORD", "QT_LOGGING_RULES"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), work(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), work(QStringLiteral("data")));
        if (withSite && mSite) {
            env.insert(QStringLiteral("NUBELO_SITE_HOST"),
                       QString::fromStdString(mSite->siteHost()));
            env.insert(QStringLiteral("NUBELO_UPLOAD_HOST"),
                       QString::fromStdString(mSite->uploadHost()));
        }
        return env;
    }

    QStringList signedIn(const QStringList &more = {}) const {
        return QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--dir"), scratch()} +
               more;
    }

    static Outcome run(const QString &program, const QStringList &arguments,
                       const QProcessEnvironment &env, const QByteArray &input = QByteArray()) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        Outcome outcome;
        if (!process.waitForStarted(10000))
            return outcome;
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
        } else if (process.exitStatus() == QProcess::NormalExit) {
            outcome.code = process.exitCode();
        }
        outcome.out = process.readAllStandardOutput();
        outcome.err = process.readAllStandardError();
        return outcome;
    }

    Outcome exportWith(const QStringList &arguments, const QByteArray &input = QByteArray(),
                       QProcessEnvironment env = QProcessEnvironment()) const {
        if (env.isEmpty()) {
            env = environment();
            env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
        }
        return run(buildDir() + QStringLiteral("/bin/nubelo-export"), arguments, env, input);
    }

    std::vector<nubelo::site::JournalEntry> journal() const { return mSite->journal(); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(mFiles.isValid());
        QVERIFY(QFileInfo(buildDir() + QStringLiteral("/bin/nubelo-export")).isExecutable());
        const struct {
            const char *name;
            int width;
            int height;
        } photos[] = {{"wide.jpg", 1200, 800}, {"tall.png", 500, 900}, {"small.jpg", 320, 240}};
        for (const auto &photo : photos) {
            QImage image(photo.width, photo.height, QImage::Format_RGB32);
            for (int y = 0; y < photo.height; ++y)
                for (int x = 0; x < photo.width; ++x)
                    image.setPixel(
                        x, y, qRgb(x * 255 / photo.width, y * 255 / photo.height, (x ^ y) & 0xff));
            const QString path = mFiles.filePath(QString::fromLatin1(photo.name));
            QVERIFY(image.save(path));
            mPhotos.append(path);
        }
        QFile text(mFiles.filePath(QStringLiteral("notes.txt")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a photo\n");
    }

    void init() {
        mWork = std::make_unique<QTemporaryDir>();
        QVERIFY(mWork->isValid());
        std::string error;
        mSite = standin::startSite(work(QStringLiteral("site")), kEmail, kPassword, &error);
        QVERIFY2(mSite, error.c_str());
    }

    void cleanup() {
        mSite.reset();
        mWork.reset();
    }

    // Against the nubelo-site program: the password on standard input, every photo stored as
    // the PNG file written for it, and the sign-out is the last thing the site hears.
    void aSignedInExportIsStoredByteForByte() {
        mSite.reset(); // this one talks to the program
        const QString data = work(QStringLiteral("site-program"));
        const QString journalFile = work(QStringLiteral("journal.jsonl"));
        QProcess site;
        site.start(buildDir() + QStringLiteral("/bin/nubelo-site"),
                   {QStringLiteral("--data"), data, QStringLiteral("--journal"), journalFile,
                    QStringLiteral("--account"), kEmail + QLatin1Char(':') + kPassword});
        QString siteHost;
        QString uploadHost;
        QByteArray said;
        while (siteHost.isEmpty() || uploadHost.isEmpty()) {
            QVERIFY2(site.waitForReadyRead(10000), said.constData());
            said += site.readAllStandardOutput();
            for (const QByteArray &line : said.split('\n')) {
                if (line.startsWith("site-host "))
                    siteHost = QString::fromUtf8(line.mid(10));
                else if (line.startsWith("upload-host "))
                    uploadHost = QString::fromUtf8(line.mid(12));
            }
        }
        QProcessEnvironment env = environment(false);
        env.insert(QStringLiteral("NUBELO_SITE_HOST"), siteHost);
        env.insert(QStringLiteral("NUBELO_UPLOAD_HOST"), uploadHost);

        const Outcome outcome = exportWith(signedIn({QStringLiteral("--password-stdin")}) + mPhotos,
                                           kPassword.toUtf8() + "\n", env);
        ::kill(site.processId(), SIGTERM);
        QVERIFY(site.waitForFinished(10000));
        QVERIFY2(outcome.code == 0, outcome.err.constData());

        // Without a terminal, one line per photo, although the record is only looked at now
        // and then and a quick photo can come and go between two looks.
        QByteArrayList photoLines;
        for (const QByteArray &line : outcome.err.split('\n')) {
            if (line.startsWith("Image "))
                photoLines.append(line);
        }
        QCOMPARE(photoLines, QByteArrayList({"Image 1 of 3", "Image 2 of 3", "Image 3 of 3"}));

        const QList<QByteArray> lines = outcome.out.split('\n');
        QVERIFY(lines.contains("Account: ana@example.org logged in"));
        QVERIFY(lines.contains("Uploaded 3 photos."));
        QVERIFY(lines.contains("Account: No user athenticated yet"));

        const QStringList stored = storedPhotos(data);
        QCOMPARE(stored.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QByteArray written = readFile(scratch() + QStringLiteral("/sfe-%1.png").arg(i));
            QVERIFY(!written.isEmpty());
            QCOMPARE(readFile(stored.at(i)), written);
        }
        QList<QByteArray> journalLines = readFile(journalFile).trimmed().split('\n');
        QVERIFY(!journalLines.isEmpty());
        const QJsonObject last = QJsonDocument::fromJson(journalLines.constLast()).object();
        QCOMPARE(last.value(QStringLiteral("exchange")).toString(), QStringLiteral("Logout"));
    }

    // Without a terminal a refused sign-in is not tried again: the error line is printed and
    // the sheet's second showing counts as Cancel.
    void aWrongPasswordIsRefused() {
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("NUBELO_PASSWORD"), QStringLiteral("wrong"));
        const Outcome outcome = exportWith(signedIn(mPhotos), {}, env);
        QCOMPARE(outcome.code, 3);
        QVERIFY(outcome.err.contains("Atuthentication failed. Please review and try again!"));
        QVERIFY(outcome.out.contains("Account: No user athenticated yet"));
        QCOMPARE(count(journal(), Exchange::Login), 1);
        QCOMPARE(count(journal(), Exchange::Upload), 0);
        QVERIFY(mSite->photos(kEmail.toStdString()).empty());
    }

    void filesOfAnEarlierRun_data() {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("uploads");
        QTest::newRow("Replace not chosen") << false << 4 << 0;
        QTest::newRow("--yes replaces them") << true << 0 << 3;
    }
    void filesOfAnEarlierRun() {
        QFETCH(bool, yes);
        QFETCH(int, code);
        QFETCH(int, uploads);
        QVERIFY(QDir().mkpath(scratch()));
        QFile earlier(scratch() + QStringLiteral("/sfe-1.png"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("from an earlier run");
        earlier.close();

        const QStringList options = yes ? QStringList{QStringLiteral("--yes")} : QStringList{};
        const Outcome outcome = exportWith(signedIn(options) + mPhotos);
        QVERIFY2(outcome.code == code, outcome.err.constData());
        QVERIFY(
            outcome.err.contains("File exists\nOne or more images already exist in directory."));
        QCOMPARE(count(journal(), Exchange::Upload), uploads);
        if (!yes) {
            QVERIFY(outcome.err.contains("--yes"));
            QCOMPARE(readFile(earlier.fileName()), QByteArray("from an earlier run"));
        }
        // Signed out either way: by the run's end, or when the plug-in goes.
        QCOMPARE(journal().back().exchange, Exchange::Logout);
    }

    // The site's truthful queue check says the photo did not arrive: the run fails with the
    // plug-in's message, and the session is still closed when the program ends.
    void aRefusedUploadFailsTheRun() {
        mSite->setFault(nubelo::site::Fault::Upload500);
        const Outcome outcome = exportWith(signedIn(mPhotos));
        QVERIFY2(outcome.code == 1, outcome.err.constData());
        // Told once, as the outcome, not as progress too.
        QCOMPARE(outcome.err.count(
                     QStringLiteral("Unable to upload %1/sfe-0.png\n").arg(scratch()).toUtf8()),
                 1);
        // The record names only the file; the reason comes from the plug-in's log.
        QVERIFY2(outcome.err.contains("reason: "), outcome.err.constData());
        QCOMPARE(count(journal(), Exchange::Upload), 1);
        QVERIFY(mSite->photos(kEmail.toStdString()).empty());
        QCOMPARE(journal().back().exchange, Exchange::Logout);
    }

    void ctrlC_data() {
        QTest::addColumn<int>("presses");
        QTest::newRow("once: the photo under way finishes, the run signs out") << 1;
        QTest::newRow("twice: out at once") << 2;
    }
    void ctrlC() {
        QFETCH(int, presses);
        mSite->setDelay(Exchange::Upload, std::chrono::milliseconds(1000));
        QProcess process;
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
        process.setProcessEnvironment(env);
        process.setReadChannel(QProcess::StandardError);
        process.start(buildDir() + QStringLiteral("/bin/nubelo-export"), signedIn(mPhotos));
        QByteArray err;
        while (!err.contains("Image 2 of 3")) {
            QVERIFY2(process.waitForReadyRead(15000), err.constData());
            err += process.readAllStandardError();
        }
        ::kill(pid_t(process.processId()), SIGINT);
        if (presses == 2) {
            // Signals that arrive together are delivered once: press again once it answered.
            while (!err.contains("Ctrl-C again")) {
                QVERIFY2(process.waitForReadyRead(15000), err.constData());
                err += process.readAllStandardError();
            }
            ::kill(pid_t(process.processId()), SIGINT);
        }
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        if (presses == 1) {
            QCOMPARE(mSite->photos(kEmail.toStdString()).size(), std::size_t(2));
            QCOMPARE(count(journal(), Exchange::Upload), 2);
            QCOMPARE(journal().back().exchange, Exchange::Logout);
        } else {
            // Gone before the second photo's answer came back, so nothing was signed out.
            QCOMPARE(count(journal(), Exchange::Logout), 0);
        }
    }

    // Bad input is refused in one line before anything reaches the site.
    void badInput_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withPassword");
        QTest::addColumn<QByteArray>("says");
        const QString photo = QStringLiteral("PHOTO");
        const QString missing = QStringLiteral("MISSING");
        const QString text = QStringLiteral("TEXT");
        QTest::newRow("no photos")
            << QStringList{QStringLiteral("--email"), kEmail} << true << QByteArray("no photos");
        QTest::newRow("a photo that is not there")
            << QStringList{QStringLiteral("--email"), kEmail, photo, missing} << true
            << QByteArray("no such file");
        QTest::newRow("a file that is not an image")
            << QStringList{QStringLiteral("--email"), kEmail, text} << true
            << QByteArray("not an image");
        QTest::newRow("--dir that is a file")
            << QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--dir"), text, photo}
            << true << QByteArray("not a folder");
        QTest::newRow("a password on the command line")
            << QStringList{QStringLiteral("--password"), QStringLiteral("x"), photo} << true
            << QByteArray("never taken from the command line");
        QTest::newRow("an unknown option") << QStringList{QStringLiteral("--album"), photo} << true
                                           << QByteArray("unknown option --album");
        QTest::newRow("a value for a switch") << QStringList{QStringLiteral("--yes=please"), photo}
                                              << true << QByteArray("--yes takes no value");
        QTest::newRow("no address and no terminal to ask on")
            << QStringList{photo} << true << QByteArray("--email");
        QTest::newRow("no password and no terminal to ask on")
            << QStringList{QStringLiteral("--email"), kEmail, photo} << false
            << QByteArray("--password-stdin");
        QTest::newRow("--password-stdin with nothing there")
            << QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--password-stdin"),
                           photo}
            << false << QByteArray("no password on standard input");
    }
    void badInput() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, withPassword);
        QFETCH(QByteArray, says);
        arguments.replaceInStrings(QStringLiteral("PHOTO"), mPhotos.first());
        arguments.replaceInStrings(QStringLiteral("MISSING"),
                                   mFiles.filePath(QStringLiteral("gone.jpg")));
        arguments.replaceInStrings(QStringLiteral("TEXT"),
                                   mFiles.filePath(QStringLiteral("notes.txt")));
        QProcessEnvironment env = environment();
        if (withPassword)
            env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
        const Outcome outcome = exportWith(arguments, {}, env);
        QCOMPARE(outcome.code, 2);
        QVERIFY2(outcome.err.startsWith("nubelo-export: ") && outcome.err.count('\n') == 1 &&
                     outcome.err.contains(says),
                 outcome.err.constData());
        QVERIFY(journal().empty());
    }

    void aModuleThatDoesNotLoadIsReportedWithTheLoadersReason() {
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
        env.insert(QStringLiteral("NUBELO_PLUGIN_DIR"), mFiles.path());
        const Outcome outcome = exportWith(signedIn(mPhotos), {}, env);
        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains("cannot load the plug-in " + mFiles.path().toUtf8()),
                 outcome.err.constData());
        QVERIFY(journal().empty());
    }

    // With neither host variable the program runs its own site and signs in with its demo
    // account; the photos stay where it says.
    void theEmbeddedSiteByDefault() {
        mSite.reset();
        const Outcome outcome =
            exportWith({QStringLiteral("--dir"), scratch(), mPhotos.at(0), mPhotos.at(2)}, {},
                       environment(false));
        QVERIFY2(outcome.code == 0, outcome.err.constData());
        QVERIFY(outcome.err.contains("NUBELO_SITE_HOST and NUBELO_UPLOAD_HOST are not set"));
        QVERIFY(outcome.out.contains("Account: demo@nubelo.example logged in"));
        const QString folder = work(QStringLiteral("data/nubelo-site/demo@nubelo.example"));
        QVERIFY2(outcome.out.contains(
                     QStringLiteral("The embedded site keeps the photos of demo@nubelo.example "
                                    "in %1\n")
                         .arg(folder)
                         .toUtf8()),
                 outcome.out.constData());
        const QStringList stored = storedPhotos(folder);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(readFile(stored.at(1)), readFile(scratch() + QStringLiteral("/sfe-1.png")));
    }

    // ./run demo runs this script after building; it must work every time, twice in a row too
    // (the second run finds the first one's scratch files and its photos on the site).
    void theDemoTwice() {
        mSite.reset();
        QProcessEnvironment env = environment(false);
        env.insert(QStringLiteral("NUBELO_DEMO_DIR"), scratch());
        // Whatever the shell was set up for, the demo uses its own site.
        env.insert(QStringLiteral("NUBELO_SITE_HOST"), QStringLiteral("127.0.0.1:9"));
        const QString script =
            qEnvironmentVariable("NUBELO_SOURCE_DIR") + QStringLiteral("/host/demo.sh");
        for (int round = 1; round <= 2; ++round) {
            const Outcome outcome = run(script, {buildDir()}, env);
            QVERIFY2(outcome.code == 0, outcome.err.constData());
            QVERIFY(outcome.out.contains("Uploaded 4 photos."));
            QCOMPARE(storedPhotos(work(QStringLiteral("data/nubelo-site"))).size(), 4 * round);
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
