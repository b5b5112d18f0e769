#pragma once

#include "ImageExportSettings.h"

#include <QString>

// The host's export manager, as a plug-in sees it. The plug-in never owns it.
class ExportMgr {
public:
    virtual ~ExportMgr() = default;

    // Photos chosen for export.
    virtual int imageCount() = 0;
    // Begin the export: the host goes on to call ExportPluginProtocol::performExport().
    virtual void startExport() = 0;
    // Write photo `index` (from 0) to the file `dest` as `options` say; true once it is written.
    virtual bool exportImageAtIndex(int index, const QString &dest,
                                    const ImageExportSettings *options) = 0;
    // The user pressed Return in the plug-in's settings view: start an export as the host's
    // Export button does.
    virtual void clickExport() = 0;
};
