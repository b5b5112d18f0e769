// The fault matrix: each fault of the stand-in site met by the real nubelo-export, with what
// the user is told, the exit code, what the session on the site is afterwards, and that the
// program ends within its deadlines. The time limits are shortened (NUBELO_TEST_TIME_LIMITS), so a
// silent server costs a second, not a minute. MATRIX.md is the same matrix as a table.

#include "ExportProgram.h"
#include "NubeloSite.h"
#include "StandInSite.h"

#include <QtTest>

#include <QTcpServer>
#include <QTemporaryDir>

using nubelo::site::Exchange;
using nubelo::site::Fault;

namespace {

const QString kEmail = QStringLiteral("lucia@example.org");
const QString kPassword = QStringLiteral("pa55 & word");

// How the site misbehaves in a row.
struct Setup {
    QList<Fault> faults;
    QList<std::pair<Exchange, int>> delays; // milliseconds before the answer
    bool siteDown = false;                  // nothing listens where the site should be
    int photos = 2;
    int loginWaitMs = 10000;
    int requestLimitMs = 10000;

    Setup with(Fault f) const {
        Setup s = *this;
        s.faults.append(f);
        return s;
    }
    Setup silent(Exchange exchange) const {
        Setup s = *this;
        s.delays.append({exchange, 30000});
        return s;
    }
    Setup down() const {
        Setup s = *this;
        s.siteDown = true;
        return s;
    }
    Setup onePhoto() const {
        Setup s = *this;
        s.photos = 1;
        return s;
    }
    Setup limits(int loginWait, int requestLimit) const {
        Setup s = *this;
        s.loginWaitMs = loginWait;
        s.requestLimitMs = requestLimit;
        return s;
    }
};

// What the run must come to.
struct Expected {
    int code = 0;
    QByteArrayList says; // each somewhere in what the program printed
    int sessionsAfter = 0;
    bool logoutSent = true;
    int uploads = 0; // upload requests the site received
    int stored = 0;  // photos the site keeps afterwards
    int withinMs = 15000;
    int atLeastMs = 0;

    static Expected exit(int code, const QByteArrayList &says) {
        Expected e;
        e.code = code;
        e.says = says;
        return e;
    }
    Expected sessions(int n) const {
        Expected e = *this;
        e.sessionsAfter = n;
        return e;
    }
    Expected noLogout() const {
        Expected e = *this;
        e.logoutSent = false;
        return e;
    }
    Expected uploaded(int requests, int kept) const {
        Expected e = *this;
        e.uploads = requests;
        e.stored = kept;
        return e;
    }
    Expected took(int atLeast, int within) const {
        Expected e = *this;
        e.atLeastMs = atLeast;
        e.withinMs = within;
        return e;
    }
};

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Expected)

class TestFaultMatrix : public QObject {
    Q_OBJECT

private:
    QTemporaryDir mFiles;
    QStringList mPhotos;
    std::unique_ptr<QTemporaryDir> mWork;
    std::unique_ptr<nubelo::site::Site> mSite;

    QProcessEnvironment environment(const Setup &setup, const QString &siteHost,
                                    const QString &uploadHost) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"NUBELO_SITE_HOST", "NUBELO_UPLOAD_HOST", "NUBELO_PASSWORD",
                                 "NUBELO_PLUGIN_DIR", "QT_LOGGING_RULES"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), mWork->filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), mWork->filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("NUBELO_SITE_HOST"), siteHost);
        env.insert(QStringLiteral("NUBELO_UPLOAD_HOST"), uploadHost);
        env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
        env.insert(QStringLiteral("NUBELO_TEST_TIME_LIMITS"),
                   QStringLiteral("%1,%2").arg(setup.loginWaitMs).arg(setup.requestLimitMs));
        return env;
    }

    int count(Exchange exchange) const {
        const auto journal = mSite->journal();
        return int(std::count_if(journal.begin(), journal.end(), [exchange](const auto &entry) {
            return entry.exchange == exchange;
        }));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(mFiles.isValid());
        QVERIFY(QFileInfo(faults::exportProgram()).isExecutable());
        const struct {
            const char *name;
            int width;
            int height;
        } photos[] = {{"street.jpg", 800, 600}, {"harbour.png", 300, 500}};
        for (const auto &photo : photos) {
            const QString path = mFiles.filePath(QString::fromLatin1(photo.name));
            QVERIFY(faults::testPicture(photo.width, photo.height).save(path));
            mPhotos.append(path);
        }
    }

    void init() {
        mWork = std::make_unique<QTemporaryDir>();
        QVERIFY(mWork->isValid());
        std::string error;
        mSite =
            standin::startSite(mWork->filePath(QStringLiteral("site")), kEmail, kPassword, &error);
        QVERIFY2(mSite, error.c_str());
    }

    void cleanup() {
        mSite.reset();
        mWork.reset();
    }

    void fault_data();
    void fault();
};

void TestFaultMatrix::fault_data() {
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<Expected>("expected");

    const QByteArray refused = "Atuthentication failed. Please review and try again!";
    const QByteArray notSignedIn = "not signed in: the sign-in was refused or cancelled";
    const QByteArray unable = "Unable to upload ";
    const QByteArray uploadedTwo = "Uploaded 2 photos.";

    const Setup site;
    QTest::newRow("login refused")
        << site.with(Fault::LoginRefused) << Expected::exit(3, {refused, notSignedIn}).noLogout();
    QTest::newRow("login answered without a redirect")
        << site.with(Fault::LoginNoRedirect)
        << Expected::exit(3, {refused, notSignedIn}).noLogout();
    // Signed in with an empty jar: the site refuses every upload of a client without its
    // cookie, and the session it made can never be ended by a client that never learned it.
    QTest::newRow("login redirect without a cookie")
        << site.with(Fault::RedirectWithoutCookie)
        << Expected::exit(1, {"logged in", unable, "reason: ", "HTTP status 403"})
               .sessions(1)
               .uploaded(1, 0);
    QTest::newRow("connection dropped after the redirect")
        << site.with(Fault::DropAfterRedirect)
        << Expected::exit(0, {"logged in", uploadedTwo}).uploaded(2, 2);
    // The site made the session, but its answer never came within the wait.
    QTest::newRow("site silent past the login wait")
        << site.silent(Exchange::Login).onePhoto().limits(1000, 3000)
        << Expected::exit(3, {refused, notSignedIn}).sessions(1).noLogout().took(1000, 8000);
    QTest::newRow("upload answered 500")
        << site.with(Fault::Upload500)
        << Expected::exit(1, {unable, "reason: ", "HTTP status 404"}).uploaded(1, 0);
    QTest::newRow("upload connection reset")
        << site.with(Fault::UploadReset)
        << Expected::exit(1, {unable, "reason: ", "HTTP status 404"}).uploaded(1, 0);
    // Regression: Qt sent the upload again by itself, and the site stored each photo twice.
    QTest::newRow("upload stored, then its answer lost")
        << site.with(Fault::UploadStoredThenDrop)
        << Expected::exit(0, {uploadedTwo}).uploaded(2, 2);
    // The site stored the photo before it fell silent; the queue check tells so.
    QTest::newRow("upload host silent past the request limit")
        << site.silent(Exchange::Upload).onePhoto().limits(10000, 1500)
        << Expected::exit(0, {"Uploaded 1 photo."}).uploaded(1, 1).took(1500, 9000);
    QTest::newRow("upload reset, queue check answered 500")
        << site.with(Fault::UploadReset).with(Fault::QueueCheck500)
        << Expected::exit(1, {unable, "reason: ", "HTTP status 500"}).uploaded(1, 0);
    QTest::newRow("upload reset, queue check dropped")
        << site.with(Fault::UploadReset).with(Fault::QueueCheckDrop)
        << Expected::exit(1, {unable, "reason: "}).uploaded(1, 0);
    QTest::newRow("upload and queue check silent past the request limit")
        << site.silent(Exchange::Upload).silent(Exchange::QueueCheck).onePhoto().limits(10000, 1500)
        << Expected::exit(1, {unable, "reason: ", "timed out"}).uploaded(1, 1).took(3000, 9000);
    QTest::newRow("logout answered without a body")
        << site.with(Fault::LogoutNoBody) << Expected::exit(0, {uploadedTwo}).uploaded(2, 2);
    // Nothing tells the user that the site still holds the session: the client has dropped
    // its cookie, and the run itself went well.
    QTest::newRow("logout dropped") << site.with(Fault::LogoutDrop)
                                    << Expected::exit(0, {uploadedTwo}).sessions(1).uploaded(2, 2);
    QTest::newRow("site not listening")
        << site.down() << Expected::exit(3, {"Connection refused", notSignedIn}).noLogout();
}

void TestFaultMatrix::fault() {
    QFETCH(Setup, setup);
    QFETCH(Expected, expected);

    for (const Fault f : setup.faults)
        mSite->setFault(f);
    for (const auto &[exchange, ms] : setup.delays)
        mSite->setDelay(exchange, std::chrono::milliseconds(ms));
    QString siteHost = QString::fromStdString(mSite->siteHost());
    QString uploadHost = QString::fromStdString(mSite->uploadHost());
    if (setup.siteDown) {
        // A port that was free a moment ago and that nothing listens on now.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        siteHost = uploadHost = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
    }

    const QString scratch = mWork->filePath(QStringLiteral("scratch"));
    const faults::ProgramRun run = faults::runProgram(
        faults::exportProgram(),
        QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--dir"), scratch} +
            mPhotos.mid(0, setup.photos),
        environment(setup, siteHost, uploadHost), 60000);

    QVERIFY2(run.finished && !run.crashed, run.describe().constData());
    QVERIFY2(run.code == expected.code, run.describe().constData());
    for (const QByteArray &text : expected.says)
        QVERIFY2(run.said().contains(text),
                 ("missing \"" + text + "\"\n" + run.describe()).constData());
    QVERIFY2(run.elapsedMs < expected.withinMs,
             qPrintable(QStringLiteral("took %1 ms").arg(run.elapsedMs)));
    QVERIFY2(run.elapsedMs >= expected.atLeastMs,
             qPrintable(QStringLiteral("took only %1 ms").arg(run.elapsedMs)));

    QCOMPARE(int(mSite->sessionCount()), expected.sessionsAfter);
    QCOMPARE(count(Exchange::Logout) > 0, expected.logoutSent);
    QCOMPARE(count(Exchange::Upload), expected.uploads);
    QCOMPARE(int(mSite->photos(kEmail.toStdString()).size()), expected.stored);
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
