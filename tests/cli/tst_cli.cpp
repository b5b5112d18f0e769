// nubelo-export for what only the program does: its exit codes and what it says, Ctrl-C, and
// the demo script with the embedded site. What a run does when the site misbehaves is the fault
// matrix's; the run itself is tested in-process.

#include "ExportProgram.h"

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
    void ctrlC_data();
    void ctrlC();
    void theDemoTwice();
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
                                  "Uploaded 3 photos.", "Account: No user athenticated yet"};
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

void TestCli::ctrlC_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("presses");
    QTest::newRow("once: the photo under way finishes, the run signs out") << SIGINT << 1;
    QTest::newRow("twice: out at once") << SIGINT << 2;
    // A kill (SIGTERM) or a closed terminal (SIGHUP) stops the run as Ctrl-C does: signed out.
    QTest::newRow("SIGTERM: as Ctrl-C once") << SIGTERM << 1;
    QTest::newRow("SIGHUP: as Ctrl-C once") << SIGHUP << 1;
}

void TestCli::ctrlC() {
    QFETCH(int, signal);
    QFETCH(int, presses);
    site().setDelay(Exchange::Upload, std::chrono::milliseconds(1000));
    QProcess process;
    process.setProcessEnvironment(mWork->environment(kPassword));
    process.setReadChannel(QProcess::StandardError);
    process.start(faults::exportProgram(), faults::exportArguments(kEmail, scratch(), mPhotos));
    QByteArray err;
    // Signals that arrive together are delivered once: press again once it answered.
    for (int press = 1; press <= presses; ++press) {
        const char *awaited = press == 1 ? "Image 2 of 3" : "Ctrl-C again";
        while (!err.contains(awaited)) {
            QVERIFY2(process.waitForReadyRead(15000), err.constData());
            err += process.readAllStandardError();
        }
        ::kill(pid_t(process.processId()), signal);
    }
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);
    const auto journal = site().journal();
    if (presses == 1) {
        QCOMPARE(site().photos(kEmail.toStdString()).size(), std::size_t(2));
        QCOMPARE(int(standin::entries(site(), Exchange::Upload).size()), 2);
        QCOMPARE(journal.back().exchange, Exchange::Logout);
    } else {
        // Gone before the second photo's answer came back, so nothing was signed out.
        QVERIFY(standin::entries(site(), Exchange::Logout).isEmpty());
    }
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
              QByteArray("Uploaded 4 photos."),
              "The embedded site keeps the photos of demo@nubelo.example in " + folder.toUtf8()})
            QVERIFY2(run.said().contains(text),
                     ("missing \"" + text + "\"\n" + run.describe()).data());
        const QStringList stored = QDir(folder).entryList({QStringLiteral("photo-*.png")});
        QCOMPARE(stored.size(), 4 * round);
        QCOMPARE(QDir(scratch()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
