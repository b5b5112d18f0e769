#pragma once

#include "Error.h"
#include "ExportMgr.h"
#include "ExportPluginProtocol.h"
#include "PluginConfig.h"

#include <QtPlugin>

#include <memory>

// What the factory makes: the plug-in, or why there is none.
struct CreatedPlugin {
    std::unique_ptr<ExportPluginProtocol> plugin; // null when it could not be created
    platform::Error error;                        // why, when the plug-in is null
};

// The root object of an export plug-in module, found with QPluginLoader::instance().
class ExportPluginFactory {
public:
    virtual ~ExportPluginFactory() = default;

    // Creates the plug-in for the host's export manager (not owned by the plug-in), with the
    // configuration the host read. When the process has a UI kit (ui::app()), the plug-in's
    // interface files are loaded and its outlets bound first.
    virtual CreatedPlugin initWithExportImageObj(ExportMgr *exportMgr,
                                                 const PluginConfig &config) = 0;
};

#define ExportPluginFactory_iid "example.nubelo.ExportPluginFactory/2.0"
Q_DECLARE_INTERFACE(ExportPluginFactory, ExportPluginFactory_iid)
