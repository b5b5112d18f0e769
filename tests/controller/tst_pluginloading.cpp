#include "ExportPluginFactory.h"
#include "ExportPluginOutcomes.h"
#include "RecordingExportMgr.h"

#include <QDir>
#include <QPluginLoader>
#include <QtTest>

namespace {

QString pluginPath() {
    const QDir dir(qEnvironmentVariable("NUBELO_PLUGIN_DIR"));
    return dir.filePath(QStringLiteral("libNubeloExporter.so"));
}

} // namespace

class TestPluginLoading : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void factoryCreatesController();
    void failedLoadSaysWhy();
};

void TestPluginLoading::factoryCreatesController() {
    QPluginLoader loader(pluginPath());
    QObject *root = loader.instance();
    QVERIFY2(root != nullptr, qPrintable(loader.errorString()));
    auto *factory = qobject_cast<ExportPluginFactory *>(root);
    QVERIFY2(factory != nullptr, "the module's root object is not an ExportPluginFactory");

    scripted::RecordingExportMgr mgr;
    CreatedPlugin created = factory->initWithExportImageObj(&mgr, PluginConfig{});
    std::unique_ptr<ExportPluginProtocol> plugin = std::move(created.plugin);
    QVERIFY2(plugin != nullptr, qPrintable(created.error.localizedDescription));
    QVERIFY(exportPluginOutcomes(plugin.get()) != nullptr);
    QCOMPARE(plugin->name(), QStringLiteral("Nubelo Exporter"));
    QCOMPARE(plugin->getDestinationPath(), QStringLiteral("/tmp/NubeloExporter"));
    plugin->clickExport();
    QCOMPARE(mgr.clicks, 1);
    plugin.reset();
}

void TestPluginLoading::failedLoadSaysWhy() {
    QPluginLoader loader(QDir(QDir::tempPath()).filePath(QStringLiteral("no-such-plugin.so")));
    QVERIFY(loader.instance() == nullptr);
    QVERIFY(!loader.errorString().isEmpty());
}

QTEST_GUILESS_MAIN(TestPluginLoading)
#include "tst_pluginloading.moc"
