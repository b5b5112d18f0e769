// nubelo-export across runs: the password kept in the keyring (--remember, --forget) and the
// record of photos sent (--skip-uploaded), through the real program, the stand-in site and the
// throwaway keyring of keyring-session.sh.

#include "ExportProgram.h"
#include "Keychain.h"

#include <QtTest>

#include <csignal>

using nubelo::site::Exchange;

namespace {

const QString kEmail = QStringLiteral("ana@example.org");
const QString kPassword = QStringLiteral("correct horse");
const QString kService = QStringLiteral("Nubelo Exporter");

QList<QByteArray> lines(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

} // namespace

class TestResume : public QObject {
    Q_OBJECT

    QTemporaryDir mFiles;
    QStringList mPhotos;                   // six, each of its own content
    std::optional<faults::SiteWork> mWork; // one per test

    nubelo::site::Site &site() { return *mWork->site; }
    QString record() const {
        return mWork->path(QStringLiteral("state/nubelo-export/uploaded.jsonl"));
    }

    // A run against the test's site; `password` empty: none given. With `keyring` the program
    // reaches the test's keyring, else no session bus at all.
    faults::ProgramRun run(const QStringList &options, const QStringList &photos,
                           const QString &password, bool keyring = true) {
        QProcessEnvironment env = mWork->environment(password);
        if (keyring)
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       qEnvironmentVariable("NUBELO_KEYRING_BUS"));
        const QStringList arguments =
            photos.isEmpty()
                ? QStringList{QStringLiteral("--email"), kEmail}
                : faults::exportArguments(kEmail, mWork->path(QStringLiteral("scratch")), photos);
        return faults::runProgram(faults::exportProgram(), options + arguments, env, 60000);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(!qEnvironmentVariableIsEmpty("NUBELO_KEYRING_BUS"));
        for (int i = 0; i < 6; ++i) {
            mPhotos.append(mFiles.filePath(QStringLiteral("photo-%1.png").arg(i + 1)));
            QVERIFY(faults::testPicture(120 + 7 * i, 90).save(mPhotos.last()));
        }
    }
    void init() {
        mWork.emplace(kEmail, kPassword);
        QVERIFY2(mWork->site, mWork->why.c_str());
        Keychain().deleteItemForAccount(kEmail, kService);
    }

    void rememberedPassword();
    void refusedPasswordIsNotKept();
    void noKeyringService();
    void pickUpAfterCtrlC();
    void damagedRecord_data();
    void damagedRecord();
};

void TestResume::rememberedPassword() {
    const QStringList one{mPhotos.first()};
    faults::ProgramRun done = run({QStringLiteral("--remember")}, one, kPassword);
    QVERIFY2(done.code == 0 && done.out.contains("Remembered the password for ana@example.org"),
             done.describe().constData());
    QCOMPARE(Keychain().findGenericPasswordForAccount(kEmail, kService), kPassword);

    // No password given: the keyring's signs in.
    done = run({}, one, {});
    QVERIFY2(done.code == 0, done.describe().constData());
    QCOMPARE(site().photos(kEmail.toStdString()).size(), std::size_t(2));
    QVERIFY(!done.said().contains(kPassword.toUtf8()));

    // A remembered password the site refuses: one try, then exit 3 without a terminal.
    site().clearJournal();
    QCOMPARE(Keychain().addGenericPassword(QStringLiteral("stale"), kEmail, kService, true), 0);
    done = run({}, one, {});
    QVERIFY2(done.code == 3 && done.err.count("remembered in the keyring for ana@example.org "
                                              "was refused") == 1,
             done.describe().constData());
    QCOMPARE(standin::entries(site(), Exchange::Login).size(), 1);

    done = run({QStringLiteral("--forget")}, {}, {});
    QVERIFY2(done.code == 0 && done.out.contains("Forgot"), done.describe().constData());
    QCOMPARE(Keychain().findGenericPasswordForAccount(kEmail, kService), QString(""));
}

// A refused password is never stored, and never replaces a good one.
void TestResume::refusedPasswordIsNotKept() {
    QCOMPARE(Keychain().addGenericPassword(kPassword, kEmail, kService, true), 0);
    const faults::ProgramRun done =
        run({QStringLiteral("--remember")}, {mPhotos.first()}, QStringLiteral("wrong"));
    QVERIFY2(done.code == 3, done.describe().constData());
    QCOMPARE(Keychain().findGenericPasswordForAccount(kEmail, kService), kPassword);
}

// No keyring service at all: --remember says so in one line, and the run goes on.
void TestResume::noKeyringService() {
    const faults::ProgramRun done =
        run({QStringLiteral("--remember")}, {mPhotos.first()}, kPassword, false);
    QVERIFY2(done.code == 0, done.describe().constData());
    QCOMPARE(done.err.count("--remember"), 1);
    QVERIFY(done.err.contains("--remember: no keyring service is running"));
}

// Ctrl-C after the third of six photos, then --skip-uploaded sends the other three, one of the
// sent ones renamed in between: every photo reaches the site once.
void TestResume::pickUpAfterCtrlC() {
    // The site keeps a photo and answers it late: the interrupt lands while the third is under way.
    site().setDelay(Exchange::Upload, std::chrono::milliseconds(1500));
    QProcess process;
    process.setProcessEnvironment(mWork->environment(kPassword));
    process.start(faults::exportProgram(),
                  faults::exportArguments(kEmail, mWork->path(QStringLiteral("scratch")), mPhotos));
    QTRY_VERIFY_WITH_TIMEOUT(site().photos(kEmail.toStdString()).size() >= 3, 30000);
    ::kill(pid_t(process.processId()), SIGINT);
    // Each photo is on record as soon as its answer came, not at the end of the run: two lines
    // while the third answer is still on its way.
    QTRY_COMPARE_WITH_TIMEOUT(lines(record()).size(), 3, 1000);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 130);
    QCOMPARE(site().photos(kEmail.toStdString()).size(), std::size_t(3));
    const QList<QByteArray> recorded = lines(record());
    QCOMPARE(recorded.size(), 4); // and the empty piece after the last newline
    for (int i = 0; i < 3; ++i)
        QVERIFY2(recorded[i].contains(mPhotos[i].toUtf8()), recorded[i].constData());
    // Nothing for the group or others, the file's or its folder's.
    QCOMPARE(QFileInfo(record()).permissions() & 0x77, 0);
    QCOMPARE(QFileInfo(QFileInfo(record()).path()).permissions() & 0x77, 0);

    QStringList again = mPhotos;
    again[1] = mFiles.filePath(QStringLiteral("renamed.png"));
    QVERIFY(QFile::rename(mPhotos[1], again[1]));
    site().clearFaults();
    // --yes: the cut run left its scratch files.
    faults::ProgramRun done =
        run({QStringLiteral("--skip-uploaded"), QStringLiteral("--yes")}, again, kPassword);
    QVERIFY(QFile::rename(again[1], mPhotos[1]));
    QVERIFY2(done.code == 0 && done.out.contains("3 of 3 photos uploaded") &&
                 done.out.contains("Skipped 3 photos"),
             done.describe().constData());
    QSet<std::string> contents;
    for (const nubelo::site::StoredPhoto &photo : site().photos(kEmail.toStdString()))
        contents.insert(photo.sha256);
    QCOMPARE(contents.size(), 6);
    QCOMPARE(site().photos(kEmail.toStdString()).size(), std::size_t(6));

    // All of them sent: nothing to do, and no sign-in either.
    site().clearJournal();
    done = run({QStringLiteral("--skip-uploaded")}, mPhotos, kPassword);
    QVERIFY2(done.code == 0 && done.out.contains("Nothing to send"), done.describe().constData());
    QVERIFY(site().journal().empty());
}

void TestResume::damagedRecord_data() {
    QTest::addColumn<QByteArray>("tail"); // after the first photo's line
    QTest::addColumn<int>("code");
    QTest::newRow("torn last line: ignored, then cut off") << QByteArray("{\"site\":\"1") << 0;
    QTest::newRow("damaged line before the last: refused")
        << QByteArray("{\"site\":\"1\n") + "FIRST\n"
        << 1;
    QTest::newRow("a folder in its place: refused") << QByteArray() << 1;
}

void TestResume::damagedRecord() {
    QFETCH(QByteArray, tail);
    QFETCH(int, code);
    // Both photos sent earlier; the second one's line then made another account's.
    const QStringList two{mPhotos[0], mPhotos[1]};
    QCOMPARE(run({}, two, kPassword).code, 0);
    QList<QByteArray> before = lines(record());
    before[1].replace("ana@example.org", "bo@example.org");
    QFile file(record());
    if (tail.isEmpty()) {
        QVERIFY(file.remove() && QDir().mkdir(record()));
    } else {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before[0] + '\n' + before[1] + '\n' + tail.replace("FIRST", before[0]));
        file.close();
    }
    site().clearJournal();

    const faults::ProgramRun done = run({QStringLiteral("--skip-uploaded")}, two, kPassword);
    QVERIFY2(done.code == code, done.describe().constData());
    if (code != 0) {
        // Named, and nothing sent again behind the user's back.
        QVERIFY(done.err.contains(record().toUtf8()));
        QVERIFY(site().journal().empty());
        return;
    }
    QVERIFY(done.out.contains("Skipped 1 photo"));
    QCOMPARE(site().photos(kEmail.toStdString()).size(), std::size_t(3));
    const QList<QByteArray> now = lines(record());
    QCOMPARE(now.size(), 4);
    QCOMPARE(now.mid(0, 2), before.mid(0, 2));
    // Whole, the torn piece not stuck in front of it.
    QVERIFY2(now[2].startsWith("{\"account\":\"ana@example.org\"") &&
                 now[2].contains(mPhotos[1].toUtf8()),
             now[2]);
}

QTEST_GUILESS_MAIN(TestResume)
#include "tst_resume.moc"
