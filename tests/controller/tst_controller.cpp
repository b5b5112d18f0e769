#include "NubeloExportController.h"
#include "RecordingExportMgr.h"

#include <QtTest>

#include <thread>

using scripted::RecordingExportMgr;

class TestController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hostReadsRecordsInPlace();
    void answersKeepNilApartFromEmpty();
    void exportDirRules();
    void clickExportGoesToTheHost();
    void progressLockKeepsRecordConsistentAcrossThreads();
    void newClientResetsSharedState();
};

// A host reads the progress record through the pointer it was given, by field offsets it
// compiled against; the plug-in must write where the host looks.
void TestController::hostReadsRecordsInPlace() {
    RecordingExportMgr mgr;
    NubeloExportController controller(&mgr);
    PluginProgress *record = controller.progress();
    QCOMPARE(static_cast<void *>(record), static_cast<void *>(controller.progress()));

    controller.lockProgress();
    record->currentItem = 7;
    record->totalItems = 9;
    record->shouldStop = true;
    controller.unlockProgress();

    const auto *bytes = reinterpret_cast<const unsigned char *>(record);
    quint32 current = 0;
    quint32 total = 0;
    std::memcpy(&current, bytes + offsetof(PluginProgress, currentItem), sizeof current);
    std::memcpy(&total, bytes + offsetof(PluginProgress, totalItems), sizeof total);
    QCOMPARE(current, 7u);
    QCOMPARE(total, 9u);
    QCOMPARE(bytes[offsetof(PluginProgress, shouldStop)], 1);
    QCOMPARE(bytes[offsetof(PluginProgress, shouldCancel)], 0);
    QVERIFY(record->message.isNull());
}

void TestController::answersKeepNilApartFromEmpty() {
    RecordingExportMgr mgr;
    NubeloExportController controller(&mgr);
    controller.loadInterface(); // no UI kit in this test: binds nothing, runs awakeFromNib

    QVERIFY(!controller.defaultFileName().has_value());
    QVERIFY(!controller.requiredFileType().isNull());
    QVERIFY(controller.requiredFileType().isEmpty());
    QVERIFY(!controller.validateUserCreatedPath(QString()));
    QVERIFY(!controller.validateUserCreatedPath(QStringLiteral("")));
    QVERIFY(!controller.validateUserCreatedPath(QStringLiteral("/tmp/NubeloExporter")));
    QCOMPARE(controller.name(), QStringLiteral("Nubelo Exporter"));
    QCOMPARE(controller.metadata(), 1);
    QCOMPARE(controller.size(), 0);
    QCOMPARE(controller.quality(), 0);
    QVERIFY(controller.settingsView() == nullptr);
}

void TestController::exportDirRules() {
    RecordingExportMgr mgr;
    NubeloExportController controller(&mgr);
    QCOMPARE(controller.getDestinationPath(), QStringLiteral("/tmp/NubeloExporter"));
    QCOMPARE(controller.defaultDirectory(), QStringLiteral("/tmp/NubeloExporter"));

    controller.setExportDir(QString());
    QCOMPARE(controller.exportDir(), QStringLiteral("/tmp/NubeloExporter"));

    // An empty (not absent) path is a path like any other.
    controller.setExportDir(QStringLiteral(""));
    QCOMPARE(controller.exportDir(), QStringLiteral(""));

    // The host hands back the very string it was given.
    controller.setExportDir(QStringLiteral("/srv/photos"));
    const QString &same = controller.getDestinationPath();
    controller.setExportDir(same);
    QCOMPARE(same, QStringLiteral("/srv/photos"));
    QCOMPARE(controller.exportDir(), controller.getDestinationPath());
    QCOMPARE(controller.exportDir(), controller.defaultDirectory());
}

void TestController::clickExportGoesToTheHost() {
    RecordingExportMgr mgr;
    NubeloExportController controller(&mgr);
    controller.clickExport();
    controller.clickExport();
    QCOMPARE(mgr.clicks, 2);
    QCOMPARE(mgr.starts, 0);
}

// The export thread writes the record under the lock while the host polls it; a reader must
// never see the fields of two different updates mixed.
void TestController::progressLockKeepsRecordConsistentAcrossThreads() {
    RecordingExportMgr mgr;
    NubeloExportController controller(&mgr);
    constexpr quint32 kUpdates = 20000;

    std::thread writer([&controller] {
        for (quint32 i = 1; i <= kUpdates; ++i) {
            const QString message = QStringLiteral("Image %1 of %2").arg(i).arg(kUpdates);
            controller.lockProgress();
            controller.progress()->currentItem = i;
            controller.progress()->totalItems = i;
            controller.progress()->message = message;
            controller.unlockProgress();
        }
        controller.cancelExport();
    });

    quint32 lastSeen = 0;
    bool mixed = false;
    while (lastSeen < kUpdates && !mixed) {
        controller.lockProgress();
        const PluginProgress snapshot = *controller.progress();
        controller.unlockProgress();
        if (snapshot.currentItem == 0)
            continue;
        mixed = snapshot.currentItem != snapshot.totalItems ||
                snapshot.message !=
                    QStringLiteral("Image %1 of %2").arg(snapshot.currentItem).arg(kUpdates);
        QVERIFY(snapshot.currentItem >= lastSeen);
        lastSeen = snapshot.currentItem;
    }
    writer.join();
    QVERIFY(!mixed);
}

// Every client of the process shares one session state, and a new client starts it afresh.
void TestController::newClientResetsSharedState() {
    NubeloConnections first;
    QCOMPARE(first.getState(), int(SessionNone));
    QVERIFY(!first.getError().has_value());
    {
        NubeloConnections second;
        QCOMPARE(second.getState(), first.getState());
    }
    QCOMPARE(first.getState(), int(SessionNone));
}

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
