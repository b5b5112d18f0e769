// The fault matrix: each fault of the stand-in site met by the real nubelo-export, with what
// the user is told, the exit code, what the session on the site is afterwards, and that the
// program ends within its deadlines. The time limits are shortened (NUBELO_TEST_TIME_LIMITS), so a
// silent server costs a second, not a minute. The README's "Fault matrix" is the same as a table.

#include "ExportProgram.h"

#include <QtTest>

using nubelo::site::Exchange;
using nubelo::site::Fault;

namespace {

const QString kEmail = QStringLiteral("lucia@example.org");
const QString kPassword = QStringLiteral("pa55 & word");

// How the site misbehaves, and what the run must come to.
struct Row {
    QList<Fault> faults{};
    QList<Exchange> silent{}; // answered only after 30 s
    bool siteDown = false;    // nothing listens where the site should be
    int photos = 2;
    std::pair<int, int> limits{10000, 10000}; // the login wait and the request limit, in ms
    int code = 0;
    QByteArrayList says;                // each somewhere in what the program printed
    int sessions = 0;                   // on the site afterwards
    bool logout = true;                 // a logout was sent
    int uploads = 0;                    // upload requests the site received
    int stored = 0;                     // photos the site keeps afterwards
    std::pair<int, int> took{0, 15000}; // at least and less than, in ms
};

} // namespace

Q_DECLARE_METATYPE(Row)

class TestFaultMatrix : public QObject {
    Q_OBJECT

    QTemporaryDir mFiles;
    QStringList mPhotos;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(QFileInfo(faults::exportProgram()).isExecutable());
        for (const QString &name : {QStringLiteral("street.jpg"), QStringLiteral("harbour.png")}) {
            mPhotos.append(mFiles.filePath(name));
            QVERIFY(faults::testPicture(300 + 100 * mPhotos.size(), 500).save(mPhotos.last()));
        }
    }
    void fault_data();
    void fault();
};

void TestFaultMatrix::fault_data() {
    QTest::addColumn<Row>("row");
    const QByteArray refused = "Atuthentication failed. Please review and try again!";
    const QByteArray notIn = "not signed in: the sign-in was refused or cancelled";
    const QByteArray unable = "photo 1 of ";
    const QByteArray reason = "0 of ";
    const QByteArray two = "2 of 2 photos uploaded";

    // clang-format off
    QTest::newRow("login refused") << Row{.faults = {Fault::LoginRefused}, .code = 3,
        .says = {refused, notIn}, .logout = false};
    QTest::newRow("login answered without a redirect") << Row{.faults = {Fault::LoginNoRedirect},
        .code = 3, .says = {refused, notIn}, .logout = false};
    // Signed in with an empty jar: the site refuses every upload of a client without its
    // cookie, and the session it made can never be ended by a client that never learned it.
    QTest::newRow("login redirect without a cookie") << Row{
        .faults = {Fault::RedirectWithoutCookie}, .code = 1,
        .says = {"logged in", unable, reason, "HTTP status 403"}, .sessions = 1,
        .uploads = 1};
    QTest::newRow("connection dropped after the redirect") << Row{
        .faults = {Fault::DropAfterRedirect}, .says = {"logged in", two}, .uploads = 2,
        .stored = 2};
    // The site made the session, but its answer never came within the wait.
    QTest::newRow("site silent past the login wait") << Row{.silent = {Exchange::Login},
        .photos = 1, .limits = {1000, 3000}, .code = 3,
        .says = {refused, "not signed in: the site did not answer within 1 s"}, .sessions = 1,
        .logout = false, .took = {1000, 8000}};
    QTest::newRow("upload answered 500") << Row{.faults = {Fault::Upload500}, .code = 1,
        .says = {unable, reason, "HTTP status 404"}, .uploads = 1};
    QTest::newRow("upload connection reset") << Row{.faults = {Fault::UploadReset}, .code = 1,
        .says = {unable, reason, "HTTP status 404"}, .uploads = 1};
    // Regression: Qt sent the upload again by itself, and the site stored each photo twice.
    QTest::newRow("upload stored, then its answer lost") << Row{
        .faults = {Fault::UploadStoredThenDrop}, .says = {two}, .uploads = 2, .stored = 2};
    // The site stored the photo before it fell silent; the queue check tells so.
    QTest::newRow("upload host silent past the request limit") << Row{.silent = {Exchange::Upload},
        .photos = 1, .limits = {10000, 1500}, .says = {"1 of 1 photo uploaded"}, .uploads = 1,
        .stored = 1, .took = {1500, 9000}};
    QTest::newRow("upload reset, queue check answered 500") << Row{
        .faults = {Fault::UploadReset, Fault::QueueCheck500}, .code = 1,
        .says = {unable, reason, "HTTP status 500"}, .uploads = 1};
    QTest::newRow("upload reset, queue check dropped") << Row{
        .faults = {Fault::UploadReset, Fault::QueueCheckDrop}, .code = 1,
        .says = {unable, reason}, .uploads = 1};
    QTest::newRow("upload and queue check silent past the request limit") << Row{
        .silent = {Exchange::Upload, Exchange::QueueCheck}, .photos = 1, .limits = {10000, 1500},
        .code = 1, .says = {unable, reason, "timed out"}, .uploads = 1, .stored = 1,
        .took = {3000, 9000}};
    QTest::newRow("logout answered without a body") << Row{.faults = {Fault::LogoutNoBody},
        .says = {two}, .uploads = 2, .stored = 2};
    // Nothing tells the user that the site still holds the session: the client has dropped
    // its cookie, and the run itself went well.
    QTest::newRow("logout dropped") << Row{.faults = {Fault::LogoutDrop}, .says = {two},
        .sessions = 1, .uploads = 2, .stored = 2};
    QTest::newRow("site not listening") << Row{.siteDown = true, .code = 3,
        .says = {"not signed in: Connection refused"}, .logout = false};
    // clang-format on
}

void TestFaultMatrix::fault() {
    QFETCH(Row, row);
    faults::SiteWork work(kEmail, kPassword);
    QVERIFY2(work.site, work.why.c_str());
    nubelo::site::Site &site = *work.site;
    for (const Fault f : row.faults)
        site.setFault(f);
    for (const Exchange exchange : row.silent)
        site.setDelay(exchange, std::chrono::milliseconds(30000));
    QProcessEnvironment env = work.environment(kPassword);
    env.insert(QStringLiteral("NUBELO_TEST_TIME_LIMITS"),
               QStringLiteral("%1,%2").arg(row.limits.first).arg(row.limits.second));
    // Port 9 is privileged: no test listens there.
    for (const char *host : {"NUBELO_SITE_HOST", "NUBELO_UPLOAD_HOST"})
        if (row.siteDown)
            env.insert(QLatin1String(host), QStringLiteral("127.0.0.1:9"));

    const faults::ProgramRun run =
        faults::runProgram(faults::exportProgram(),
                           faults::exportArguments(kEmail, work.path(QStringLiteral("scratch")),
                                                   mPhotos.mid(0, row.photos)),
                           env, 60000);

    QVERIFY2(run.finished && !run.crashed && run.code == row.code, run.describe().constData());
    for (const QByteArray &text : row.says)
        QVERIFY2(run.said().contains(text), ("missing \"" + text + "\"\n" + run.describe()).data());
    QVERIFY2(run.elapsedMs >= row.took.first && run.elapsedMs < row.took.second,
             qPrintable(QStringLiteral("took %1 ms").arg(run.elapsedMs)));
    QCOMPARE(int(site.sessionCount()), row.sessions);
    QCOMPARE(!standin::entries(site, Exchange::Logout).isEmpty(), row.logout);
    QCOMPARE(int(standin::entries(site, Exchange::Upload).size()), row.uploads);
    QCOMPARE(int(site.photos(kEmail.toStdString()).size()), row.stored);
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
