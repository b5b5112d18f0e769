// The export run of the controller: the replace prompt, the progress record photo by photo, the
// two ends of a run, cancel, and the hand-over of the toggle to the main thread. A fake export
// manager writes the photos; the uploads go to the stand-in site on loopback.

#include "ExportRun.h"
#include "Gate.h"
#include "NubeloExportController.h"
#include "NubeloSite.h"
#include "ScriptedKit.h"
#include "StandInSite.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cstring>
#include <functional>
#include <sys/stat.h>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using scripted::Gate;
using namespace std::chrono_literals;

namespace {

const QString kEmail = QStringLiteral("eva@example.org");
const QString kPassword = QStringLiteral("clave");

// A photo of its own for each index, with bytes a text conversion would spoil.
QByteArray photoBytes(int index) {
    QByteArray bytes("\x89PNG\r\n\x1a\n", 8);
    for (int i = 0; i < 300 + index; ++i)
        bytes.append(char((i * 7 + index) & 0xff));
    return bytes;
}

std::string sha256(const QByteArray &bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

// Records each alert panel's buttons, which the scripted kit does not keep.
class Kit : public scripted::ScriptedApplication {
public:
    int runCriticalAlertPanel(const QString &title, const QString &message,
                              const QString &defaultButton, const QString &alternateButton,
                              const QString &otherButton) override {
        buttons.append({defaultButton, alternateButton, otherButton});
        return ScriptedApplication::runCriticalAlertPanel(title, message, defaultButton,
                                                          alternateButton, otherButton);
    }
    // Records each hand-over: whether it came from another thread, and whether the work ran on
    // the main thread.
    void performOnMainThread(const std::function<void()> &work) override {
        const bool fromElsewhere = QThread::currentThread() != qApp->thread();
        ScriptedApplication::performOnMainThread([&] {
            handOvers.append({fromElsewhere, QThread::currentThread() == qApp->thread()});
            work();
        });
    }
    QList<QStringList> buttons;
    QList<std::pair<bool, bool>> handOvers; // written on the main thread only
};

// What the host saw at each photo it was asked for.
struct ExportCall {
    int index = 0;
    QString dest;
    quint32 current = 0;
    quint32 total = 0;
    QString message;
    ImageExportSettings settings;
};

class FakeExportMgr : public ExportMgr {
public:
    int imageCount() override { return count; }
    void startExport() override { ++starts; }
    void clickExport() override { ++clicks; }
    // Runs on the export thread.
    bool exportImageAtIndex(int index, const QString &dest,
                            const ImageExportSettings *options) override {
        ExportCall call{index, dest, 0, 0, QString(), *options};
        plugin->lockProgress();
        call.current = plugin->progress()->currentItem;
        call.total = plugin->progress()->totalItems;
        call.message = plugin->progress()->message;
        plugin->unlockProgress();
        {
            QMutexLocker locker(&lock);
            calls.append(call);
        }
        if (onExport)
            onExport(index);
        if (index == failWriteAt)
            return false;
        if (index == missingFileAt)
            return true; // says it wrote the photo, but nothing is there
        QFile file(dest);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(photoBytes(index)) == photoBytes(index).size();
    }

    QList<ExportCall> takeCalls() {
        QMutexLocker locker(&lock);
        return std::exchange(calls, {});
    }

    ExportPluginProtocol *plugin = nullptr;
    int count = 0;
    int starts = 0;
    int clicks = 0;
    int failWriteAt = -1;
    int missingFileAt = -1;
    std::function<void(int)> onExport;

private:
    QMutex lock;
    QList<ExportCall> calls;
};

PluginConfig gConfig; // the stand-in site's

// The controller on the real interface files, as a host holds it.
struct Harness {
    Harness() {
        mgr.plugin = &controller;
        controller.loadInterface();
        kit.clearRecords();
    }

    void signIn() { scripted::signIn(kit, controller, kEmail, kPassword); }
    void performExport(const QString &path) { scripted::exportOnThread(controller, path); }
    PluginProgress record() { return scripted::progressRecord(controller); }

    QString toggleTitle() const { return kit.find<scripted::Button>("mAuthenticate")->title(); }

    FakeExportMgr mgr;
    Kit kit; // outlives the controller, whose views it made
    NubeloExportController controller{&mgr, gConfig};
};

} // namespace

class TestExportRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void replacePrompt_data();
    void replacePrompt();
    void exportDirCreatedPrivate();
    void run_data();
    void run();
    void failedRunDoesNotMarkTheNextOne();
    void secondStartIgnoredWhileRunning();

private:
    QTemporaryDir mData;
    std::unique_ptr<nubelo::site::Site> mSite;
};

void TestExportRun::initTestCase() {
    QVERIFY(mData.isValid());
    std::string why;
    mSite = standin::startSite(mData.path(), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
    gConfig = standin::configFor(*mSite);
}

void TestExportRun::init() {
    mSite->clearFaults();
    mSite->clearJournal();
}

void TestExportRun::cleanupTestCase() {
    mSite.reset();
}

void TestExportRun::replacePrompt_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<int>("answer"); // 0: no panel expected
    QTest::addColumn<bool>("started");
    QTest::newRow("n=0 starts at once") << 0 << QStringList() << 0 << true;
    QTest::newRow("n=1 never asks") << 1 << QStringList{"sfe-1.png", "sfe-0.png"} << 0 << true;
    QTest::newRow("n=3, only sfe-3.png") << 3 << QStringList{"sfe-3.png"} << 0 << true;
    QTest::newRow("n=3, sfe-2.png, Replace")
        << 3 << QStringList{"sfe-2.png"} << int(ui::AlertDefaultReturn) << true;
    QTest::newRow("n=3, sfe-2.png, Cancel")
        << 3 << QStringList{"sfe-2.png"} << int(ui::AlertOtherReturn) << false;
}

// The names are looked for in the folder the host passes, not in the export directory.
void TestExportRun::replacePrompt() {
    QFETCH(int, n);
    QFETCH(QStringList, present);
    QFETCH(int, answer);
    QFETCH(bool, started);
    QTemporaryDir dir;
    QTemporaryDir exportDir;
    for (const QString &name : present) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    Harness h;
    h.mgr.count = n;
    h.controller.setExportDir(exportDir.path());
    if (answer != 0)
        h.kit.answerAlert(answer);

    h.controller.startExport(dir.path());

    QCOMPARE(h.mgr.starts, started ? 1 : 0);
    QCOMPARE(h.controller.lastStart(), started ? ExportStart::Begun : ExportStart::FilesKept);
    QCOMPARE(h.kit.alerts().size(), answer != 0 ? 1 : 0);
    if (answer != 0) {
        QCOMPARE(h.kit.alerts().first().title, QStringLiteral("File exists"));
        QCOMPARE(h.kit.alerts().first().message,
                 QStringLiteral("One or more images already exist in directory."));
        const QStringList buttons = h.kit.buttons.first();
        QCOMPARE(buttons.at(0), QStringLiteral("Replace"));
        QVERIFY(buttons.at(1).isNull());
        QCOMPARE(buttons.at(2), QStringLiteral("Cancel"));
    }
    QCOMPARE(h.controller.size(), 1);
    QCOMPARE(h.controller.quality(), 1);
    QCOMPARE(h.controller.metadata(), 3);
    QVERIFY(h.kit.problems().isEmpty());
}

// Regression: the scratch folder of the user's photos, /tmp/NubeloExporter by default, was
// created readable by every user.
void TestExportRun::exportDirCreatedPrivate() {
    QTemporaryDir base;
    const QString scratch = base.filePath(QStringLiteral("scratch/inner"));
    Harness h;
    h.mgr.count = 2;
    h.controller.setExportDir(scratch);
    const mode_t previous = ::umask(022);
    h.controller.startExport(base.path());
    ::umask(previous);
    QCOMPARE(h.mgr.starts, 1);
    for (const QString &path : {base.filePath(QStringLiteral("scratch")), scratch}) {
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &status), 0);
        QVERIFY(S_ISDIR(status.st_mode));
        QCOMPARE(status.st_mode & 07777, mode_t(0700));
    }
}

void TestExportRun::run_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QString>("failure"); // "", "upload", "write" or "read", at the second photo
    QTest::addColumn<bool>("cancelBefore");
    QTest::addColumn<bool>("cancelDuringSecond");
    QTest::addColumn<QList<int>>("exported");
    QTest::addColumn<QString>("failedFile"); // empty: the run succeeds
    QTest::addColumn<QString>("reason");     // in the failed photo's error

    const QList<int> all{0, 1, 2};
    QTest::newRow("n=1") << 1 << true << "" << false << false << QList<int>{0} << ""
                         << "";
    QTest::newRow("n=0 takes the single path")
        << 0 << true << "" << false << false << QList<int>{0} << ""
        << "";
    QTest::newRow("n=3") << 3 << true << "" << false << false << all << ""
                         << "";
    QTest::newRow("n=3, second upload refused")
        << 3 << true << "upload" << false << false << QList<int>{0, 1} << "sfe-1.png"
        << "HTTP status 404";
    QTest::newRow("n=3, second photo not written")
        << 3 << true << "write" << false << false << QList<int>{0, 1} << "sfe-1.png"
        << "did not write";
    QTest::newRow("n=3, second photo unreadable")
        << 3 << true << "read" << false << false << QList<int>{0, 1} << "sfe-1.png"
        << "cannot be read";
    QTest::newRow("n=3, cancel during the second photo")
        << 3 << true << "" << false << true << QList<int>{0, 1} << ""
        << "";
    QTest::newRow("n=3, a cancel before startExport is forgotten")
        << 3 << true << "" << true << false << all << ""
        << "";
    // Regression: signed out, nothing was sent and the run reported every photo as uploaded.
    QTest::newRow("n=3, signed out")
        << 3 << false << "" << false << false << QList<int>{0} << "sfe-0.png"
        << "Not signed in";
}

void TestExportRun::run() {
    QFETCH(int, n);
    QFETCH(bool, signedIn);
    QFETCH(QString, failure);
    QFETCH(bool, cancelBefore);
    QFETCH(bool, cancelDuringSecond);
    QFETCH(QList<int>, exported);
    QFETCH(QString, failedFile);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    Harness h;
    h.mgr.count = n;
    if (signedIn)
        h.signIn();
    if (failure == QLatin1String("write"))
        h.mgr.failWriteAt = 1;
    if (failure == QLatin1String("read"))
        h.mgr.missingFileAt = 1;
    h.mgr.onExport = [&](int index) {
        if (index == 1 && failure == QLatin1String("upload"))
            mSite->setFault(Fault::Upload500);
        if (index == 1 && cancelDuringSecond)
            h.controller.cancelExport();
    };
    if (cancelBefore) {
        h.controller.cancelExport();
        h.controller.startExport(dir.path());
    }
    const std::size_t storedBefore = mSite->photos(kEmail.toStdString()).size();
    mSite->clearJournal();

    h.performExport(dir.path());

    // Photo by photo, as the host saw the record.
    const QList<ExportCall> calls = h.mgr.takeCalls();
    QCOMPARE(calls.size(), exported.size());
    const bool single = n <= 1;
    for (qsizetype k = 0; k < calls.size(); ++k) {
        const ExportCall &call = calls.at(k);
        const int i = exported.at(k);
        QCOMPARE(call.index, i);
        QCOMPARE(call.dest, dir.filePath(QStringLiteral("sfe-%1.png").arg(single ? 1 : i)));
        QCOMPARE(call.current, quint32(i));
        QCOMPARE(call.total, quint32(single ? 1 : n));
        QCOMPARE(call.message, single ? QStringLiteral("Image 1 of 1")
                                      : QStringLiteral("Image %1 of %2").arg(i + 1).arg(n));
        const ImageExportSettings png{kFormatPNG, 1, 0.0f, 640, 640, 3};
        QCOMPARE(std::memcmp(&call.settings, &png, sizeof png), 0);
    }

    // What reached the site, byte for byte, with its number from 1.
    const auto photos = mSite->photos(kEmail.toStdString());
    const qsizetype uploaded = failedFile.isEmpty() ? exported.size() : exported.size() - 1;
    QCOMPARE(qsizetype(photos.size() - storedBefore), uploaded);
    for (qsizetype k = 0; k < uploaded; ++k)
        QCOMPARE(photos.at(storedBefore + k).sha256, sha256(photoBytes(exported.at(k))));
    if (!signedIn)
        QVERIFY(mSite->journal().empty());

    const PluginProgress end = h.record();
    QCOMPARE(end.currentItem, quint32(exported.last()));
    QCOMPARE(h.controller.getDestinationPath(), dir.path());
    QVERIFY(!h.controller.isExporting());
    const ExportRunOutcome outcome = h.controller.lastRun();
    QCOMPARE(outcome.uploaded, int(uploaded));
    QCOMPARE(outcome.failure.has_value(), !failedFile.isEmpty());
    if (failedFile.isEmpty()) {
        QVERIFY(end.message.isNull());
        QVERIFY(end.shouldStop);
        QVERIFY(!end.shouldCancel);
        // The toggle, on the main thread, signed the user out.
        QCOMPARE(h.controller.connector()->getState(), int(SessionNone));
        QCOMPARE(h.toggleTitle(), QStringLiteral("Authenticate"));
        QCOMPARE(h.controller.signedInAs(), QString());
        QCOMPARE(mSite->sessionCount(), std::size_t(0));
        const QList<std::pair<bool, bool>> fromTheRunToMain{{true, true}};
        QCOMPARE(h.kit.handOvers, fromTheRunToMain);
    } else {
        const QString path = dir.filePath(failedFile);
        QCOMPARE(end.message, "Unable to upload " + path);
        QVERIFY(end.shouldCancel);
        QVERIFY(!end.shouldStop);
        // The toggle was not called: a signed-in user stays signed in, a signed-out one sees
        // no login sheet.
        QCOMPARE(h.controller.connector()->getState(),
                 int(signedIn ? SessionLoggedIn : SessionNone));
        QCOMPARE(h.toggleTitle(),
                 signedIn ? QStringLiteral("Logout") : QStringLiteral("Authenticate"));
        QVERIFY(h.kit.handOvers.isEmpty());
        QCOMPARE(outcome.failure->photo, exported.last() + 1);
        QVERIFY2(outcome.failure->error.localizedDescription.contains(reason),
                 qPrintable(outcome.failure->error.localizedDescription));
    }
    QVERIFY(!h.kit.log().join('\n').contains(QLatin1String("beginSheet")));
    QVERIFY2(h.kit.problems().isEmpty(), qPrintable(h.kit.problems().join('\n')));
}

// The host reports a run's end from the record's flags.
void TestExportRun::failedRunDoesNotMarkTheNextOne() {
    QTemporaryDir dir;
    Harness h;
    h.mgr.count = 1;
    h.performExport(dir.path()); // signed out: fails
    QVERIFY(h.record().shouldCancel);

    h.signIn();
    h.performExport(dir.path());
    const PluginProgress end = h.record();
    QVERIFY(end.shouldStop);
    QVERIFY(!end.shouldCancel);
    QVERIFY(end.message.isNull());
}

void TestExportRun::secondStartIgnoredWhileRunning() {
    QTemporaryDir dir;
    Harness h;
    h.signIn();
    h.mgr.count = 2;
    std::atomic<bool> inside{false};
    Gate release;
    h.mgr.onExport = [&](int index) {
        if (index != 0)
            return;
        inside.store(true);
        release.wait();
    };
    bool entered = false;
    bool exporting = false;
    scripted::exportOnThread(h.controller, dir.path(), [&] {
        entered = QTest::qWaitFor([&] { return inside.load(); }, 10000);
        if (entered) {
            exporting = h.controller.isExporting();
            h.controller.clickExport();
            h.controller.startExport(dir.path());
            h.controller.performExport(dir.path()); // a host calling twice changes nothing either
        }
        release.open();
    });
    QVERIFY(entered);
    QVERIFY(exporting);
    QCOMPARE(h.mgr.clicks, 0);
    QCOMPARE(h.mgr.starts, 0);
    QCOMPARE(h.mgr.takeCalls().size(), 2);
    QVERIFY(h.record().shouldStop);

    h.controller.clickExport();
    QCOMPARE(h.mgr.clicks, 1);
}

QTEST_GUILESS_MAIN(TestExportRun)
#include "tst_exportrun.moc"
