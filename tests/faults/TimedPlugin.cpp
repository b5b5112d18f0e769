// The plug-in module as the fault tests load it: the same controller and client, whose login
// wait and request limit come from NUBELO_TEST_TIME_LIMITS ("LOGIN_MS,REQUEST_MS"), so that a
// run of the real nubelo-export goes past its deadlines in a second or two. Only the tests
// build and load this module; the one the programs find has no way to change the limits.

#include "ExportPluginFactory.h"
#include "NubeloExportController.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <chrono>

class NubeloExporterTimedPlugin : public QObject, public ExportPluginFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ExportPluginFactory_iid)
    Q_INTERFACES(ExportPluginFactory)
public:
    std::unique_ptr<ExportPluginProtocol> initWithExportImageObj(ExportMgr *exportMgr) override {
        auto controller = std::make_unique<NubeloExportController>(exportMgr);
        const QList<QByteArray> limits = qgetenv("NUBELO_TEST_TIME_LIMITS").split(',');
        bool loginOk = false;
        bool requestOk = false;
        const int login = limits.value(0).toInt(&loginOk);
        const int request = limits.value(1).toInt(&requestOk);
        if (loginOk && requestOk && login > 0 && request > 0)
            controller->connector()->setTimeLimits(std::chrono::milliseconds(login),
                                                   std::chrono::milliseconds(request));
        if (!controller->loadInterface())
            return nullptr;
        return controller;
    }
};

#include "TimedPlugin.moc"
