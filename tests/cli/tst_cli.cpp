// nubelo-export for what only the program does: its exit codes and what it says, Ctrl-C, and
// the demo script with the embedded site. What a run does when the site misbehaves is the fault
// matrix's; the run itself is tested in-process.

#include "ExportProgram.h"
#include "ProgressDisplay.h"

#include <QtTest>

#include <csignal>

using nubelo::site::Exchange;

namespace {

const QString kEmail = QStringLiteral("ana@example.org");
const QString kPassword = QStringLiteral("correct horse");

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

    QTemporaryDir mFiles; // the test photos
    QStringList mPhotos;
    std::optional<faults::SiteWork> mWork; // one per test

    nubelo::site::Site &site() { return *mWork->site; }
    QString scratch() const { return mWork->path(QStringLiteral("scratch")); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(QFileInfo(faults::exportProgram()).isExecutable());
        for (const QString &name : {QStringLiteral("wide.jpg"), QStringLiteral("tall.png"),
                                    QStringLiteral("small.jpg")}) {
            mPhotos.append(mFiles.filePath(name));
            QVERIFY(faults::testPicture(900 - 200 * mPhotos.size(), 500).save(mPhotos.last()));
        }
    }
    void init() {
        mWork.emplace(kEmail, kPassword);
        QVERIFY2(mWork->site, mWork->why.c_str());
    }

    void exitCode_data();
    void exitCode();
    void runEnd_data();
    void runEnd();
    void theDemoTwice();
    void lastProgressFrame_data();
    void lastProgressFrame();
};

void TestCli::exitCode_data() {
    QTest::addColumn<QStringList>("arguments"); // SCRATCH: the test's scratch folder
    QTest::addColumn<QStringList>("env");       // NAME=VALUE over the run's; NAME= removes it
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("earlierFiles"); // sfe-1.png of an earlier run is in the way
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArrayList>("says"); // all three photos go up when the code is 0

    const QStringList signedIn = faults::exportArguments(kEmail, "SCRATCH", mPhotos);
    const QString photo = mPhotos.first();
    const QByteArrayList fileExists{"File exists\nOne or more images already exist in directory."};
    // Without a terminal, one line per photo, although the record is only looked at now and
    // then and a quick photo can come and go between two looks.
    const QByteArrayList uploaded{"Account: ana@example.org logged in",
                                  "Image 1 of 3\nImage 2 of 3\nImage 3 of 3\n",
                                  "3 of 3 photos uploaded\n", "Account: No user athenticated yet"};
    QTest::newRow("files of an earlier run, Replace not chosen")
        << signedIn << QStringList() << QByteArray() << true << 4
        << fileExists + QByteArrayList{"--yes"};
    QTest::newRow("--yes replaces them, the password on standard input, --keep-files")
        << QStringList{"--password-stdin", "--yes", "--keep-files"} + signedIn
        << QStringList{"NUBELO_PASSWORD="} << kPassword.toUtf8() + "\n"
        << true << 0 << fileExists + uploaded;
    QTest::newRow("a plug-in module that does not load")
        << signedIn << QStringList{"NUBELO_PLUGIN_DIR=" + mFiles.path()} << QByteArray() << false
        << 1 << QByteArrayList{"cannot load the plug-in " + mFiles.path().toUtf8()};

    // Bad input is refused in one line before anything reaches the site.
    const auto refused = [](const char *name, const QStringList &arguments, const char *says,
                            const QStringList &env = {}) {
        QTest::newRow(name) << arguments << env << QByteArray() << false << 2
                            << QByteArrayList{says};
    };
    refused("no photos", {"--email", kEmail}, "no photos");
    refused("a password on the command line", {"--password", "x", photo},
            "never taken from the command line");
    refused("an unknown option", {"--album", photo}, "unknown option --album");
    refused("a value for a switch", {"--yes=please", photo}, "--yes takes no value");
    refused("no address and no terminal to ask on", {photo}, "--email");
    refused("no password and no terminal to ask on", {"--email", kEmail, photo}, "--password-stdin",
            {"NUBELO_PASSWORD="});
    refused("--password-stdin with nothing there", {"--email", kEmail, "--password-stdin", photo},
            "no password on standard input", {"NUBELO_PASSWORD="});
}

void TestCli::exitCode() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, env);
    QFETCH(QByteArray, input);
    QFETCH(bool, earlierFiles);
    QFETCH(int, code);
    QFETCH(QByteArrayList, says);
    const int uploads = code == 0 ? 3 : 0;
    arguments.replaceInStrings(QStringLiteral("SCRATCH"), scratch());
    QProcessEnvironment environment = mWork->environment(kPassword);
    for (const QString &setting : env) {
        const QString name = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        value.isEmpty() ? environment.remove(name) : environment.insert(name, value);
    }
    const QString earlier = scratch() + QStringLiteral("/sfe-1.png");
    if (earlierFiles) {
        QVERIFY(QDir().mkpath(scratch()));
        QFile file(earlier);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("from an earlier run") == 19);
    }

    const faults::ProgramRun run =
        faults::runProgram(faults::exportProgram(), arguments, environment, 30000, {}, input);

    QVERIFY2(run.finished && !run.crashed && run.code == code, run.describe().constData());
    for (const QByteArray &text : says)
        QVERIFY2(run.said().contains(text), ("missing \"" + text + "\"\n" + run.describe()).data());
    if (code == 2)
        QVERIFY2(run.err.startsWith("nubelo-export: ") && run.err.count('\n') == 1, run.err.data());
    QCOMPARE(run.err.count("Image "), uploads);
    if (code == 4)
        QCOMPARE(readFile(earlier), QByteArray("from an earlier run"));
    QCOMPARE(QDir(scratch()).entryList({"sfe-*.png"}).size(),
             arguments.contains("--keep-files") ? 3 : int(code == 4));
    const auto journal = site().journal();
    QCOMPARE(int(standin::entries(site(), Exchange::Upload).size()), uploads);
    QCOMPARE(int(site().photos(kEmail.toStdString()).size()), uploads);
    // Nothing reached the site, or the session was signed out at the end.
    QVERIFY(journal.empty() == (code == 1 || code == 2));
    QVERIFY(journal.empty() || journal.back().exchange == Exchange::Logout);
}

void TestCli::runEnd_data() {
    QTest::addColumn<QStringList>("photos");
    QTest::addColumn<int>("uploadDelayMs");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArrayList>("awaited"); // the signal goes once each of these was said
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArrayList>("says");
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("endMs"); // from the last signal to the program's end, at most

    const QByteArrayList once{"Image 2 of 3"};
    const auto named = [](const char *text, const QStringList &photos) {
        return text + photos.join(QStringLiteral(", ")).toUtf8() + '\n';
    };
    const QByteArrayList cancelled{"cancelling after the photo under way",
                                   named("2 of 3 photos uploaded; not uploaded: ", mPhotos.mid(2))};
    QStringList cut = mPhotos;
    cut[1] = mFiles.filePath(QStringLiteral("cut.jpg"));
    QTest::newRow("failed: the second photo cut short")
        << cut << 0 << 0 << QByteArrayList() << 1
        << QByteArrayList{"photo 2 of 3, " + cut[1].toUtf8() + ": cut short: the file ends",
                          named("1 of 3 photos uploaded; not uploaded: ", cut.mid(1))}
        << 1 << 20000;
    QTest::newRow("Ctrl-C once: the photo under way finishes, the run signs out")
        << mPhotos << 1000 << SIGINT << once << 130 << cancelled << 2 << 20000;
    // A kill (SIGTERM) or a closed terminal (SIGHUP) stops the run as Ctrl-C does: signed out.
    QTest::newRow("SIGTERM: as Ctrl-C once")
        << mPhotos << 1000 << SIGTERM << once << 130 << cancelled << 2 << 20000;
    QTest::newRow("SIGHUP: as Ctrl-C once")
        << mPhotos << 1000 << SIGHUP << once << 130 << cancelled << 2 << 20000;
    // The site stores the photo, then keeps its answer back for 30 s; the request limit is 8 s.
    QTest::newRow("Ctrl-C twice, the upload host silent: told of the wait, signed out at once")
        << mPhotos << 30000 << SIGINT
        << QByteArrayList{"no answer for 5 s, giving up after 8 s\n", "Ctrl-C again"} << 130
        << QByteArrayList{"nubelo-export: waiting for 127.0.0.1:", "stopping at once",
                          named("0 of 3 photos uploaded; not uploaded: ", mPhotos)}
        << 1 << 3000;
}

void TestCli::runEnd() {
    QFETCH(QStringList, photos);
    QFETCH(int, uploadDelayMs);
    QFETCH(int, signal);
    QFETCH(QByteArrayList, awaited);
    QFETCH(int, code);
    QFETCH(QByteArrayList, says);
    QFETCH(int, stored);
    QFETCH(int, endMs);
    QByteArray whole;
    QBuffer jpeg(&whole);
    QVERIFY(jpeg.open(QIODevice::WriteOnly) && faults::testPicture(700, 500).save(&jpeg, "JPG"));
    QFile cut(mFiles.filePath(QStringLiteral("cut.jpg")));
    QVERIFY(cut.open(QIODevice::WriteOnly) && cut.write(whole.left(whole.size() / 2)) > 0);
    cut.close();
    site().setDelay(Exchange::Upload, std::chrono::milliseconds(uploadDelayMs));
    QProcess process;
    QProcessEnvironment env = mWork->environment(kPassword);
    env.insert(QStringLiteral("NUBELO_TEST_TIME_LIMITS"), QStringLiteral("10000,8000"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(faults::exportProgram(), faults::exportArguments(kEmail, scratch(), photos));
    QByteArray said;
    QElapsedTimer sinceSignal;
    // Signals that arrive together are delivered once: each goes once the last was answered.
    for (const QByteArray &text : awaited) {
        while (!said.contains(text)) {
            QVERIFY2(process.waitForReadyRead(15000), said.constData());
            said += process.readAll();
        }
        ::kill(pid_t(process.processId()), signal);
        sinceSignal.start();
    }
    QVERIFY(process.waitForFinished(20000));
    said += process.readAll();
    QVERIFY2(awaited.isEmpty() || sinceSignal.elapsed() < endMs, said.constData());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == code, said.constData());
    for (const QByteArray &text : says)
        QVERIFY2(said.contains(text), ("missing \"" + text + "\"\n" + said).constData());
    QCOMPARE(int(site().photos(kEmail.toStdString()).size()), stored);
    QCOMPARE(site().journal().back().exchange, Exchange::Logout);
}

// ./run demo runs this script after building; it must work every time, twice in a row too
// (the second run finds the first one's photos on the site). With neither host variable the
// program runs its own site and signs in with its demo account; the photos stay where it says,
// and none of its scratch files stays.
void TestCli::theDemoTwice() {
    QProcessEnvironment env = faults::programEnvironment(mWork->work.path());
    env.insert(QStringLiteral("NUBELO_DEMO_DIR"), scratch());
    // Whatever the shell was set up for, the demo uses its own site.
    env.insert(QStringLiteral("NUBELO_SITE_HOST"), QStringLiteral("127.0.0.1:9"));
    const QString folder = mWork->path(QStringLiteral("data/nubelo-site/demo@nubelo.example"));
    for (int round = 1; round <= 2; ++round) {
        const faults::ProgramRun run = faults::runProgram(
            qEnvironmentVariable("NUBELO_SOURCE_DIR") + QStringLiteral("/host/demo.sh"),
            {faults::buildDir()}, env, 30000);
        QVERIFY2(run.code == 0, run.describe().constData());
        for (const QByteArray &text :
             {QByteArray("NUBELO_SITE_HOST and NUBELO_UPLOAD_HOST are not set"),
              QByteArray("Account: demo@nubelo.example logged in\n"),
              QByteArray("4 of 4 photos uploaded\n"),
              "The embedded site keeps the photos of demo@nubelo.example in " + folder.toUtf8()})
            QVERIFY2(run.said().contains(text),
                     ("missing \"" + text + "\"\n" + run.describe()).data());
        const QStringList stored = QDir(folder).entryList({QStringLiteral("photo-*.png")});
        QCOMPARE(stored.size(), 4 * round);
        QCOMPARE(QDir(scratch()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
}

// The record is only looked at now and then: the finished display still names every photo,
// whether the last look saw the photo before the last or the run ended before any look.
void TestCli::lastProgressFrame_data() {
    QTest::addColumn<ProgressDisplay::Mode>("mode");
    QTest::addColumn<bool>("lookedAt"); // the record was seen with photo 3 of 4 under way
    QTest::addColumn<QByteArray>("ending");
    QTest::newRow("bar, last looked at before the last photo")
        << ProgressDisplay::Mode::Bar << true
        << "\rImage 4 of 4 [" + QByteArray(30, '#') + "] 100%\n";
    QTest::newRow("lines, the run over before the first look")
        << ProgressDisplay::Mode::Lines << false
        << QByteArray("Image 1 of 4\nImage 2 of 4\nImage 3 of 4\nImage 4 of 4\n");
}

void TestCli::lastProgressFrame() {
    QFETCH(ProgressDisplay::Mode, mode);
    QFETCH(bool, lookedAt);
    QFETCH(QByteArray, ending);
    int fds[2] = {-1, -1};
    QVERIFY(::pipe(fds) == 0);
    {
        ProgressDisplay display(mode, fds[1]);
        if (lookedAt)
            display.update(2, 4, QStringLiteral("Image 3 of 4"));
        display.finish(true, 4);
    }
    ::close(fds[1]);
    QFile drawn;
    QVERIFY(drawn.open(fds[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    const QByteArray text = drawn.readAll();
    QVERIFY2(text.endsWith(ending), text.constData());
    QCOMPARE(text.count("Image 4 of 4"), 1);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
