// The export run against what the main thread does meanwhile: a cancel that arrives at each step
// of a run, and the user signing out while a photo is being uploaded. No crash, no hang, no data
// race; the run ends stopped or failed, with the session to match.

#include "ExportRun.h"
#include "SiteSuite.h"

#include <QSemaphore>
#include <QTemporaryDir>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using namespace std::chrono_literals;

namespace {

// The steps of a run at which the main thread acts.
enum class Step { Counting, Writing, Uploading, SigningOut };

} // namespace

Q_DECLARE_METATYPE(Step)

class TestConcurrency : public standin::SiteSuite {
    Q_OBJECT
public:
    // A password beyond ASCII: the sign-in of every run here escapes it.
    TestConcurrency()
        : SiteSuite(QStringLiteral("olga@example.org"), QStringLiteral("contraseña segura")) {}

private Q_SLOTS:
    void actAtEachStep_data();
    void actAtEachStep();
};

void TestConcurrency::actAtEachStep_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<Step>("step");
    QTest::addColumn<int>("photo");    // the photo of the step, from 0
    QTest::addColumn<bool>("signOut"); // the user signs out instead of cancelling
    QTest::addColumn<QList<int>>("written");
    QTest::addColumn<int>("failedAt"); // the photo the run fails at (refused by the site), or -1

    // Regression: a cancel that came while the host counted the photos was forgotten, and the
    // whole run went ahead.
    QTest::newRow("3 photos, cancel while the host counts them")
        << 3 << Step::Counting << -1 << false << QList<int>{} << -1;
    QList<int> upTo;
    for (int photo = 0; photo < 3; ++photo) {
        upTo.append(photo);
        QTest::addRow("3 photos, cancel while photo %d is written", photo + 1)
            << 3 << Step::Writing << photo << false << upTo << -1;
        QTest::addRow("3 photos, cancel while photo %d is uploaded", photo + 1)
            << 3 << Step::Uploading << photo << false << upTo << -1;
    }
    QTest::newRow("3 photos, cancel while the run signs out")
        << 3 << Step::SigningOut << -1 << false << QList<int>{0, 1, 2} << -1;
    QTest::newRow("3 photos, cancel while photo 2 is uploaded and refused")
        << 3 << Step::Uploading << 1 << false << QList<int>{0, 1} << 1;
    // That photo is in, the next one is refused as not signed in, and nothing sent.
    QTest::newRow("3 photos, sign-out while photo 1 is uploaded")
        << 3 << Step::Uploading << 0 << true << QList<int>{0, 1} << 1;
    // A single photo is always finished.
    QTest::newRow("1 photo, cancel while the host counts it")
        << 1 << Step::Counting << -1 << false << QList<int>{0} << -1;
    QTest::newRow("1 photo, cancel while it is written")
        << 1 << Step::Writing << 0 << false << QList<int>{0} << -1;
    QTest::newRow("1 photo, cancel while it is uploaded")
        << 1 << Step::Uploading << 0 << false << QList<int>{0} << -1;
}

void TestConcurrency::actAtEachStep() {
    QFETCH(int, n);
    QFETCH(Step, step);
    QFETCH(int, photo);
    QFETCH(bool, signOut);
    QFETCH(QList<int>, written);
    QFETCH(int, failedAt);

    QTemporaryDir dir;
    scripted::Harness h(standin::configFor(*mSite));
    h.host.count = n;
    QVERIFY(h.signIn(kEmail, kPassword));
    mSite->clearJournal();
    const std::size_t before = mSite->photos(kEmail.toStdString()).size();
    const auto uploadsHeard = [&] {
        return int(standin::entries(*mSite, Exchange::Upload).size());
    };

    // At the chosen step the export thread waits until the main thread has acted.
    std::atomic<bool> paused{false};
    QSemaphore resume;
    const auto pause = [&] {
        paused.store(true);
        resume.acquire();
    };
    if (step == Step::Counting)
        h.host.onCount = pause;
    h.host.onExport = [&](int index) {
        if (index == failedAt && !signOut)
            mSite->setFault(Fault::Upload500);
        // Long enough for the main thread to see the upload arrive and act before its answer.
        if (step == Step::Uploading && index == photo)
            mSite->setDelay(Exchange::Upload, 500ms);
        if (step == Step::Writing && index == photo)
            pause();
        return scripted::FakeHost::Writes;
    };
    if (step == Step::SigningOut)
        h.kit.duringHandOver = [&] {
            h.controller.cancelExport();
        };

    bool reached = true;
    h.exportOnThread(dir.path(), [&] {
        if (step == Step::Counting || step == Step::Writing) {
            reached = QTest::qWaitFor([&] { return paused.load(); }, 10000);
            h.controller.cancelExport();
            resume.release();
        } else if (step == Step::Uploading) {
            reached = QTest::qWaitFor([&] { return uploadsHeard() == photo + 1; }, 10000);
            if (signOut)
                h.kit.click("mAuthenticate");
            else
                h.controller.cancelExport();
        }
    });
    QVERIFY(reached);

    QList<int> exported;
    for (const scripted::ExportCall &call : h.host.calls)
        exported.append(call.index);
    QCOMPARE(exported, written);
    const PluginProgress end = h.record();
    const ExportRunOutcome outcome = h.controller.lastRun();
    QCOMPARE(end.shouldStop, failedAt < 0);
    QCOMPARE(end.shouldCancel, failedAt >= 0);
    QCOMPARE(outcome.failure ? outcome.failure->photo - 1 : -1, failedAt);
    QCOMPARE(outcome.uploaded, int(written.size()) - (failedAt < 0 ? 0 : 1));
    QCOMPARE(mSite->photos(kEmail.toStdString()).size() - before, std::size_t(outcome.uploaded));
    QCOMPARE(uploadsHeard(), int(written.size()) - (signOut ? 1 : 0));
    // A failed run leaves the session to the user; a stopped one signs out.
    const bool session = failedAt >= 0 && !signOut;
    QCOMPARE(h.controller.connector()->getState(), int(session ? SessionLoggedIn : SessionNone));
    QCOMPARE(mSite->sessionCount(), std::size_t(session ? 1 : 0));
    QCOMPARE(h.kit.problems(), QStringList());
}

QTEST_GUILESS_MAIN(TestConcurrency)
#include "tst_concurrency.moc"
