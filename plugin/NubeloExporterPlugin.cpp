// The plug-in module's root object: the factory the host finds with QPluginLoader.

#include "ExportPluginFactory.h"
#include "NubeloExportController.h"

#include <QObject>

class NubeloExporterPlugin : public QObject, public ExportPluginFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ExportPluginFactory_iid)
    Q_INTERFACES(ExportPluginFactory)
public:
    std::unique_ptr<ExportPluginProtocol> initWithExportImageObj(ExportMgr *exportMgr) override {
        auto controller = std::make_unique<NubeloExportController>(exportMgr);
        if (!controller->loadInterface())
            return nullptr;
        return controller;
    }
};

#include "NubeloExporterPlugin.moc"
