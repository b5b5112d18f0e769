// The export run against what other threads do meanwhile: the user signs out, or the host shuts
// down, while a photo is being uploaded; and a cancel that arrives at each step of a run. No
// crash, no hang, and the record ends stopped or failed, with the session to match.

#include "ExportRun.h"
#include "Gate.h"
#include "NubeloExportController.h"
#include "NubeloSite.h"
#include "PhotoHost.h"
#include "ScriptedKit.h"
#include "StandInSite.h"

#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <functional>
#include <mutex>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using scripted::Gate;
using namespace std::chrono_literals;

namespace {

const QString kEmail = QStringLiteral("olga@example.org");
const QString kPassword = QStringLiteral("contraseña segura");

// The steps of a run at which a cancel can arrive.
enum class Step { None, Counting, Writing, Uploading, SigningOut };

// A host that writes small files and, at the chosen step, stops the export thread until the
// main thread has cancelled.
class StepHost : public ExportMgr {
public:
    int imageCount() override {
        pauseAt(Step::Counting, -1);
        return count;
    }
    void startExport() override {}
    void clickExport() override {}
    bool exportImageAtIndex(int index, const QString &dest, const ImageExportSettings *) override {
        {
            const std::lock_guard locker(mMutex);
            mWritten.append(index);
        }
        if (index == refuseUploadAt)
            site->setFault(Fault::Upload500);
        if (step == Step::Uploading && index == stepPhoto) {
            // Long enough for the main thread to see the photo arrive and cancel before the
            // answer goes back.
            site->setDelay(Exchange::Upload, std::chrono::milliseconds(500));
        }
        pauseAt(Step::Writing, index);
        QFile file(dest);
        const QByteArray bytes = "\x89PNG\r\n\x1a\n" + QByteArray(200 + index, char('a' + index));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(bytes) == bytes.size();
    }

    QList<int> written() {
        const std::lock_guard locker(mMutex);
        return mWritten;
    }

    Step step = Step::None;
    int stepPhoto = -1;
    int count = 0;
    int refuseUploadAt = -1;
    nubelo::site::Site *site = nullptr;
    std::atomic<bool> paused{false};
    Gate resume;

private:
    void pauseAt(Step at, int photo) {
        if (step != at || stepPhoto != photo)
            return;
        paused.store(true);
        resume.wait();
    }

    std::mutex mMutex;
    QList<int> mWritten;
};

// Carries out the run's last call on the main thread, and can have a cancel arrive meanwhile.
class Kit : public scripted::ScriptedApplication {
public:
    void performOnMainThread(const std::function<void()> &work) override {
        ScriptedApplication::performOnMainThread([&] {
            if (cancelDuringHandOver)
                cancelDuringHandOver();
            work();
        });
    }
    std::function<void()> cancelDuringHandOver;
};

int uploadsHeard(const nubelo::site::Site &site) {
    const auto journal = site.journal();
    return int(std::count_if(journal.begin(), journal.end(),
                             [](const auto &entry) { return entry.exchange == Exchange::Upload; }));
}

} // namespace

Q_DECLARE_METATYPE(Step)

class TestConcurrency : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void signOutWhileUploading();
    void hostShutsDownWhileUploading();
    void cancelAtEachStep_data();
    void cancelAtEachStep();

private:
    void signIn(Kit &kit, NubeloExportController &controller);

    QTemporaryDir mData;
    std::unique_ptr<nubelo::site::Site> mSite;
};

void TestConcurrency::initTestCase() {
    QVERIFY(mData.isValid());
    std::string why;
    mSite = standin::startSite(mData.filePath(QStringLiteral("site")), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
}

void TestConcurrency::init() {
    mSite->clearFaults();
    mSite->clearJournal();
}

void TestConcurrency::cleanupTestCase() {
    mSite.reset();
}

void TestConcurrency::signIn(Kit &kit, NubeloExportController &controller) {
    QVERIFY(!controller.loadInterface());
    scripted::signIn(kit, controller, kEmail, kPassword);
    mSite->clearJournal();
}

// The user signs out on the main thread while the export thread waits for the site's answer
// to the first photo: that photo is in, the next one is refused as not signed in, the run ends
// failed, and the site holds no session.
void TestConcurrency::signOutWhileUploading() {
    QTemporaryDir dir;
    Kit kit;
    StepHost host;
    host.count = 3;
    NubeloExportController controller(&host, standin::configFor(*mSite));
    signIn(kit, controller);
    const std::size_t before = mSite->photos(kEmail.toStdString()).size();
    mSite->setDelay(Exchange::Upload, 500ms);

    bool uploading = false;
    scripted::exportOnThread(controller, dir.path(), [&] {
        uploading = QTest::qWaitFor([&] { return uploadsHeard(*mSite) == 1; }, 10000);
        if (uploading)
            QVERIFY(kit.click("mAuthenticate"));
    });
    QVERIFY(uploading);

    const PluginProgress end = scripted::progressRecord(controller);
    QVERIFY(end.shouldCancel);
    QVERIFY(!end.shouldStop);
    QCOMPARE(end.message, "Unable to upload " + dir.filePath(QStringLiteral("sfe-1.png")));
    QCOMPARE(host.written(), QList<int>({0, 1}));
    QCOMPARE(mSite->photos(kEmail.toStdString()).size(), before + 1);
    QCOMPARE(uploadsHeard(*mSite), 1);
    QCOMPARE(controller.connector()->getState(), int(SessionNone));
    QCOMPARE(mSite->sessionCount(), std::size_t(0));
    QVERIFY(!controller.isExporting());
    QVERIFY2(kit.problems().isEmpty(), qPrintable(kit.problems().join('\n')));
}

// A host that is about to quit while a photo is being uploaded: it cancels, serves the run's
// last call on the main thread until the export thread has ended, then lets the plug-in go.
// The photo under way is finished, the run ends stopped and signed out.
void TestConcurrency::hostShutsDownWhileUploading() {
    QTemporaryDir photos;
    QTemporaryDir dir;
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        QImage image(120 + i, 80, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 100, 200, 200));
        files.append(photos.filePath(QStringLiteral("photo-%1.png").arg(i)));
        QVERIFY(image.save(files.last()));
    }
    const std::size_t before = mSite->photos(kEmail.toStdString()).size();
    Kit kit;
    {
        PhotoHost host;
        auto controller =
            std::make_unique<NubeloExportController>(&host, standin::configFor(*mSite));
        signIn(kit, *controller);
        host.setPlugin(controller.get());
        host.setDestination(dir.path());
        QVERIFY(host.setImageFiles(files));
        mSite->setDelay(Exchange::Upload, 500ms);
        QSignalSpy finished(&host, &PhotoHost::exportFinished);

        controller->startExport(dir.path());
        QVERIFY(host.isExporting());
        QVERIFY(QTest::qWaitFor([&] { return uploadsHeard(*mSite) == 1; }, 10000));
        host.shutdown();

        QVERIFY(!host.isExporting());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().at(0).toBool(), false); // stopped, not failed
        QVERIFY(finished.first().at(1).toString().isNull());
        QCOMPARE(controller->connector()->getState(), int(SessionNone));
        host.setPlugin(nullptr);
        controller.reset();
    }
    QCOMPARE(mSite->photos(kEmail.toStdString()).size(), before + 1);
    QCOMPARE(mSite->sessionCount(), std::size_t(0));
    QVERIFY2(kit.problems().isEmpty(), qPrintable(kit.problems().join('\n')));
}

void TestConcurrency::cancelAtEachStep_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<Step>("step");
    QTest::addColumn<int>("photo");   // the photo of the step, from 0
    QTest::addColumn<int>("refused"); // the photo whose upload the site refuses, or -1
    QTest::addColumn<QList<int>>("written");
    QTest::addColumn<bool>("failed");

    // Regression: a cancel that came while the host counted the photos was forgotten, and the
    // whole run went ahead.
    QTest::newRow("3 photos, while the host counts them")
        << 3 << Step::Counting << -1 << -1 << QList<int>{} << false;
    for (int photo = 0; photo < 3; ++photo) {
        QList<int> upTo;
        for (int i = 0; i <= photo; ++i)
            upTo.append(i);
        QTest::addRow("3 photos, while photo %d is written", photo + 1)
            << 3 << Step::Writing << photo << -1 << upTo << false;
        QTest::addRow("3 photos, while photo %d is uploaded", photo + 1)
            << 3 << Step::Uploading << photo << -1 << upTo << false;
    }
    QTest::newRow("3 photos, while the run signs out")
        << 3 << Step::SigningOut << -1 << -1 << QList<int>{0, 1, 2} << false;
    QTest::newRow("3 photos, while photo 2 is uploaded and refused")
        << 3 << Step::Uploading << 1 << 1 << QList<int>{0, 1} << true;
    // A single photo is always finished.
    QTest::newRow("1 photo, while the host counts it")
        << 1 << Step::Counting << -1 << -1 << QList<int>{0} << false;
    QTest::newRow("1 photo, while it is written")
        << 1 << Step::Writing << 0 << -1 << QList<int>{0} << false;
    QTest::newRow("1 photo, while it is uploaded")
        << 1 << Step::Uploading << 0 << -1 << QList<int>{0} << false;
}

void TestConcurrency::cancelAtEachStep() {
    QFETCH(int, n);
    QFETCH(Step, step);
    QFETCH(int, photo);
    QFETCH(int, refused);
    QFETCH(QList<int>, written);
    QFETCH(bool, failed);

    QTemporaryDir dir;
    Kit kit;
    StepHost host;
    host.count = n;
    host.site = mSite.get();
    host.refuseUploadAt = refused;
    NubeloExportController controller(&host, standin::configFor(*mSite));
    signIn(kit, controller);
    const std::size_t before = mSite->photos(kEmail.toStdString()).size();
    host.step = step;
    host.stepPhoto = photo;
    if (step == Step::SigningOut) {
        kit.cancelDuringHandOver = [&] {
            controller.cancelExport();
        };
    }

    bool reached = true;
    scripted::exportOnThread(controller, dir.path(), [&] {
        if (step == Step::Counting || step == Step::Writing) {
            reached = QTest::qWaitFor([&] { return host.paused.load(); }, 10000);
            controller.cancelExport();
            host.resume.open();
        } else if (step == Step::Uploading) {
            reached = QTest::qWaitFor([&] { return uploadsHeard(*mSite) == photo + 1; }, 10000);
            controller.cancelExport();
        }
    });
    QVERIFY(reached);

    const PluginProgress end = scripted::progressRecord(controller);
    QCOMPARE(host.written(), written);
    QVERIFY(!controller.isExporting());
    QVERIFY(end.shouldStop != end.shouldCancel);
    const std::size_t stored = mSite->photos(kEmail.toStdString()).size() - before;
    if (failed) {
        QVERIFY(end.shouldCancel);
        QCOMPARE(end.message,
                 "Unable to upload " + dir.filePath(QStringLiteral("sfe-%1.png").arg(refused)));
        QCOMPARE(stored, std::size_t(written.size() - 1));
        // A failed run leaves the session to the user.
        QCOMPARE(controller.connector()->getState(), int(SessionLoggedIn));
        QCOMPARE(mSite->sessionCount(), std::size_t(1));
    } else {
        QVERIFY(end.shouldStop);
        QVERIFY(end.message.isNull());
        QCOMPARE(stored, std::size_t(written.size()));
        QCOMPARE(controller.connector()->getState(), int(SessionNone));
        QCOMPARE(mSite->sessionCount(), std::size_t(0));
    }
    QVERIFY2(kit.problems().isEmpty(), qPrintable(kit.problems().join('\n')));
}

QTEST_MAIN(TestConcurrency)
#include "tst_concurrency.moc"
