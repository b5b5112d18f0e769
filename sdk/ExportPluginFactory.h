#pragma once

#include "ExportMgr.h"
#include "ExportPluginProtocol.h"

#include <QtPlugin>

#include <memory>

// The root object of an export plug-in module, found with QPluginLoader::instance().
class ExportPluginFactory {
public:
    virtual ~ExportPluginFactory() = default;

    // Creates the plug-in for the host's export manager (not owned by the plug-in). When the
    // process has a UI kit (ui::app()), the plug-in's interface files are loaded and its outlets
    // bound first. Answers nullptr when the plug-in cannot be created; the reason goes to the log.
    virtual std::unique_ptr<ExportPluginProtocol> initWithExportImageObj(ExportMgr *exportMgr) = 0;
};

#define ExportPluginFactory_iid "example.nubelo.ExportPluginFactory/1.0"
Q_DECLARE_INTERFACE(ExportPluginFactory, ExportPluginFactory_iid)
