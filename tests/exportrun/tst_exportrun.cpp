// The export run of the controller: the replace prompt, the progress record photo by photo, the
// two ends of a run, cancel, a second start while one runs, and the hand-over of the toggle to
// the main thread. A fake host writes the photos; the uploads go to the stand-in site on loopback.
// Then the run over the real export manager, for the files it leaves behind.

#include "ExportRun.h"
#include "PhotoHost.h"
#include "SiteSuite.h"

#include <QCryptographicHash>
#include <QImage>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// No file in `folder` can be removed while it is locked, by root neither.
bool lockFolder(const QString &folder, bool locked) {
    const QByteArray name = QFile::encodeName(folder);
    if (::geteuid() != 0)
        return ::chmod(name.constData(), locked ? 0500 : 0700) == 0;
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = locked ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

} // namespace

using nubelo::site::Fault;
using scripted::FakeHost;

class TestExportRun : public standin::SiteSuite {
    Q_OBJECT
private Q_SLOTS:
    void replacePrompt_data();
    void replacePrompt();
    void run_data();
    void run();
    void filesLeft_data();
    void filesLeft();
};

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
    QTest::newRow("n=3, only sfe-0.png, Cancel")
        << 3 << QStringList{"sfe-0.png"} << int(ui::AlertOtherReturn) << false;
}

// The names are looked for in the folder the host passes, not in the export directory, which
// is made for the user alone (regression: the scratch folder of the user's photos, in /tmp by
// default, was readable by every user).
void TestExportRun::replacePrompt() {
    QFETCH(int, n);
    QFETCH(QStringList, present);
    QFETCH(int, answer);
    QFETCH(bool, started);
    QTemporaryDir dir;
    ::umask(022); // a folder made with the usual modes would then be readable by all
    QTemporaryDir base;
    for (const QString &name : present)
        QVERIFY(QFile(dir.filePath(name)).open(QIODevice::WriteOnly));
    scripted::Harness h;
    h.host.count = n;
    h.controller.setExportDir(base.filePath("scratch/inner"));
    if (answer != 0)
        h.kit.answerAlert(answer);

    h.controller.startExport(dir.path());

    QCOMPARE(h.host.starts, started ? 1 : 0);
    QCOMPARE(h.controller.lastStart(), started ? ExportStart::Begun : ExportStart::FilesKept);
    QCOMPARE(h.kit.alerts().size(), answer != 0 ? 1 : 0);
    if (answer != 0)
        QCOMPARE(h.kit.alerts().first().buttons, QStringList({"Replace", QString(), "Cancel"}));
    for (const char *folder : {"scratch", "scratch/inner"}) {
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(base.filePath(folder)).constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0700));
    }
    QVERIFY(h.kit.problems().isEmpty());
}

void TestExportRun::run_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QString>("event"); // at the second photo, or about startExport
    QTest::addColumn<QList<int>>("exported");
    QTest::addColumn<QString>("reason"); // of the last photo's failure; empty: the run succeeds

    const QList<int> all{0, 1, 2}, two{0, 1};
    QTest::newRow("n=1") << 1 << true << QString() << QList<int>{0} << QString();
    QTest::newRow("n=0 takes the single path") << 0 << true << QString() << QList<int>{0} << "";
    QTest::newRow("n=3") << 3 << true << QString() << all << QString();
    QTest::newRow("n=3, second upload refused")
        << 3 << true << "refused" << two << "HTTP status 404";
    QTest::newRow("n=3, second photo not written")
        << 3 << true << "unwritten" << two << "not write";
    QTest::newRow("n=3, second photo unreadable") << 3 << true << "unreadable" << two << "be read";
    QTest::newRow("n=3, cancel at the second photo") << 3 << true << "cancel" << two << "";
    QTest::newRow("n=3, a cancel before startExport is forgotten")
        << 3 << true << "cancel, start" << all << QString();
    // Regression: performExport forgot a cancel the host sent as soon as it had started the
    // run (a window closed while the replace prompt was up), and every photo went up.
    QTest::newRow("n=3, a cancel after startExport stops the run")
        << 3 << true << "start, cancel" << QList<int>{} << QString();
    // Regression: signed out, nothing was sent and the run reported every photo as uploaded.
    QTest::newRow("n=3, signed out") << 3 << false << QString() << QList<int>{0} << "Not signed in";
}

void TestExportRun::run() {
    QFETCH(int, n);
    QFETCH(bool, signedIn);
    QFETCH(QString, event);
    QFETCH(QList<int>, exported);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    scripted::Harness h(standin::configFor(*mSite));
    h.host.count = n;
    if (signedIn)
        QVERIFY(h.signIn(kEmail, kPassword));
    bool secondStartRefused = false;
    bool tried = false;
    h.host.onExport = [&](int index) {
        if (!std::exchange(tried, true)) {
            // A second start while this run is under way, from the host or the Return key.
            h.controller.performExport(dir.path());
            h.controller.startExport(dir.path());
            h.controller.clickExport();
            secondStartRefused = h.controller.lastStart() == ExportStart::Refused;
        }
        if (index == 1 && event == "refused")
            mSite->setFault(Fault::Upload500);
        if (index == 1 && event == "cancel")
            h.controller.cancelExport();
        if (index == 1 && event == "unwritten")
            return FakeHost::Fails;
        return index == 1 && event == "unreadable" ? FakeHost::ClaimsOnly : FakeHost::Writes;
    };
    for (const QString &step : event.split(", ")) {
        if (step == "start")
            h.controller.startExport(dir.path());
        if (step == "cancel" && event.contains("start"))
            h.controller.cancelExport();
    }
    // What an earlier run left in the record must not stand.
    h.controller.lockProgress();
    h.controller.progress()->shouldStop = h.controller.progress()->shouldCancel = true;
    h.controller.unlockProgress();
    const std::size_t storedBefore = mSite->photos(kEmail.toStdString()).size();
    mSite->clearJournal();

    h.exportOnThread(dir.path());

    // Photo by photo, as the host saw the record, each once.
    const QList<scripted::ExportCall> calls = h.host.calls;
    QCOMPARE(calls.size(), exported.size());
    const bool single = n <= 1;
    for (qsizetype k = 0; k < calls.size(); ++k) {
        const scripted::ExportCall &call = calls.at(k);
        const int i = exported.at(k);
        QCOMPARE(call.index, i);
        QCOMPARE(call.dest, dir.filePath(QStringLiteral("sfe-%1.png").arg(single ? 1 : i)));
        QCOMPARE(call.record.currentItem, quint32(i));
        QCOMPARE(call.record.totalItems, quint32(single ? 1 : n));
        QCOMPARE(call.record.message, QStringLiteral("Image %1 of %2").arg(i + 1).arg(n ? n : 1));
        const ImageExportSettings png{kFormatPNG, 1, 0.0f, 640, 640, 3};
        QCOMPARE(std::memcmp(&call.settings, &png, sizeof png), 0);
    }
    QCOMPARE(secondStartRefused, !exported.isEmpty());
    QCOMPARE(h.host.starts, event.contains("start") ? 1 : 0);
    QCOMPARE(h.host.clicks, 0);

    // What reached the site, byte for byte.
    const auto photos = mSite->photos(kEmail.toStdString());
    const qsizetype uploaded = reason.isEmpty() ? exported.size() : exported.size() - 1;
    QCOMPARE(qsizetype(photos.size() - storedBefore), uploaded);
    for (qsizetype k = 0; k < uploaded; ++k) {
        const QByteArray bytes = scripted::photoBytes(exported.at(k));
        QCOMPARE(photos.at(storedBefore + k).sha256,
                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString());
    }
    if (!signedIn)
        QVERIFY(mSite->journal().empty());

    const PluginProgress end = h.record();
    const ExportRunOutcome outcome = h.controller.lastRun();
    QCOMPARE(outcome.uploaded, int(uploaded));
    QCOMPARE(h.controller.getDestinationPath(), dir.path());
    QVERIFY(!h.controller.isExporting());
    QCOMPARE(end.shouldStop, reason.isEmpty());
    QCOMPARE(end.shouldCancel, !reason.isEmpty());
    // A run that went through hands the toggle to the main thread, which signs the user out; a
    // failed one leaves a signed-in user signed in, and shows a signed-out one no login sheet.
    QCOMPARE(h.kit.handOvers, reason.isEmpty() ? QList<bool>{true} : QList<bool>{});
    QCOMPARE(h.controller.signedInAs(), reason.isEmpty() || !signedIn ? QString() : kEmail);
    QCOMPARE(mSite->sessionCount(), std::size_t(reason.isEmpty() || !signedIn ? 0 : 1));
    QCOMPARE(bool(outcome.failure), !reason.isEmpty());
    if (reason.isEmpty()) {
        QVERIFY(end.message.isNull());
    } else {
        QCOMPARE(outcome.failure->photo, exported.last() + 1);
        QVERIFY2(outcome.failure->error.localizedDescription.contains(reason),
                 qPrintable(outcome.failure->error.localizedDescription));
        QCOMPARE(end.message, "Unable to upload " + calls.last().dest);
    }
    QCOMPARE(h.kit.problems(), QStringList());
    h.controller.clickExport(); // the run is over: the Return key starts an export again
    QCOMPARE(h.host.clicks, 1);
}

// A run's PNG files are copies of the user's photos: the host removes those it wrote when the
// run ends, however it ends, and nothing else. sfe-1.png and sfe-2.png of an earlier run are
// there (Replace is chosen); exactly `left` is left.
void TestExportRun::filesLeft_data() {
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("uploaded") << "" << QStringList();
    // Put there after the run wrote its own (by the plug-in, or a person): not the run's.
    QTest::newRow("uploaded, sfe-2.png replaced since") << "replaced" << QStringList{"sfe-2.png"};
    QTest::newRow("upload refused") << "refused" << QStringList{"sfe-1.png", "sfe-2.png"};
    // The window closed during the run: the host goes once the run has ended.
    QTest::newRow("host destroyed during the first photo")
        << "destroyed" << QStringList{"sfe-1.png", "sfe-2.png"};
    // A removal that fails is told.
    QTest::newRow("removal refused")
        << "locked" << QStringList{"sfe-0.png", "sfe-1.png", "sfe-2.png"};
}

void TestExportRun::filesLeft() {
    QFETCH(QString, event);
    QFETCH(QStringList, left);
    QTemporaryDir dir, sources;
    QImage photo(80, 60, QImage::Format_RGB32);
    photo.fill(Qt::darkCyan);
    QVERIFY(photo.save(sources.filePath("a.png")));
    for (const char *name : {"sfe-1.png", "sfe-2.png"}) {
        QFile earlier(dir.filePath(name));
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier") == 7);
    }
    scripted::Kit kit;
    auto host = std::make_unique<PhotoHost>();
    NubeloExportController controller(host.get(), standin::configFor(*mSite));
    QVERIFY(!controller.loadInterface());
    kit.answerModalByClicking("Authenticate",
                              {{"mLoginUsername", kEmail}, {"mLoginPassword", kPassword}});
    QVERIFY(kit.click("mAuthenticate"));
    host->setPlugin(&controller);
    host->setImageFiles(QStringList(3, sources.filePath("a.png")));
    host->setDestination(dir.path());
    kit.answerAlert(ui::AlertDefaultReturn);
    mSite->setFault(Fault::Upload500, event == "refused");
    mSite->setDelay(nubelo::site::Exchange::Upload,
                    std::chrono::milliseconds(event == "destroyed" ? 1000 : 0));
    bool locked = false;
    const auto unlock = qScopeGuard([&] { locked = locked && !lockFolder(dir.path(), false); });
    kit.duringHandOver = [&] {
        locked = event == "locked" && lockFolder(dir.path(), true);
        if (event == "replaced") // the name of this run's file now holds another
            QVERIFY(QFile::copy(dir.filePath("sfe-1.png"), dir.filePath("new")) &&
                    ::rename(QFile::encodeName(dir.filePath("new")),
                             QFile::encodeName(dir.filePath("sfe-2.png"))) == 0);
    };

    controller.startExport(dir.path());
    QVERIFY(host->isExporting());
    if (event == "destroyed") {
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(dir.filePath("sfe-0.png")); }, 20000));
        host.reset();
    } else {
        QVERIFY(QTest::qWaitFor([&] { return !host->isExporting(); }, 20000));
        QCOMPARE(bool(host->removalFailure()), locked);
    }
    if (locked)
        QVERIFY(host->removalFailure()->localizedDescription.contains(dir.filePath("sfe-0.png")));
    else if (event == "locked")
        QSKIP("the folder cannot be locked here");
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), left);
}

QTEST_GUILESS_MAIN(TestExportRun)
#include "tst_exportrun.moc"
