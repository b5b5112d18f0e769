#pragma once

// A host with no photos that counts what the plug-in asks of it.

#include "ExportMgr.h"

namespace scripted {

class RecordingExportMgr : public ExportMgr {
public:
    int imageCount() override { return 0; }
    void startExport() override { ++starts; }
    bool exportImageAtIndex(int, const QString &, const ImageExportSettings *) override {
        return false;
    }
    void clickExport() override { ++clicks; }

    int starts = 0;
    int clicks = 0;
};

} // namespace scripted
