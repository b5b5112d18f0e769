// The plug-in module's root object: the factory the host finds with QPluginLoader.

#include "ExportPluginFactory.h"
#include "NubeloExportController.h"

#include <QObject>

class NubeloExporterPlugin : public QObject, public ExportPluginFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ExportPluginFactory_iid)
    Q_INTERFACES(ExportPluginFactory)
public:
    CreatedPlugin initWithExportImageObj(ExportMgr *exportMgr,
                                         const PluginConfig &config) override {
        auto controller = std::make_unique<NubeloExportController>(exportMgr, config);
        if (platform::MaybeError error = controller->loadInterface())
            return {nullptr, std::move(*error)};
        return {std::move(controller), {}};
    }
};

#include "NubeloExporterPlugin.moc"
