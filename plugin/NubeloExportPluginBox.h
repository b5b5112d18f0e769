#pragma once

#include "ExportPluginBoxProtocol.h"
#include "ExportPluginProtocol.h"
#include "ui/View.h"

#include <QPointer>

// The box that holds the plug-in's settings view: turns Return and Enter into the plug-in's
// export action. Toolkit-neutral; the kit's box view hands it its key presses.
class NubeloExportPluginBox : public ExportPluginBoxProtocol {
public:
    // Adopts the kit's box (not owned) and becomes its key handler. `box` may be null.
    explicit NubeloExportPluginBox(ui::Box *box);
    ~NubeloExportPluginBox() override;

    // A first character of 3, 10, 12 or 13 sends clickExport to mPlugin and answers true (also
    // when mPlugin is unset); any other key, or no character at all, answers false.
    bool performKeyEquivalent(const ui::KeyEvent &event) override;

    ui::Box *box() const { return mBox.data(); }

    // The plug-in, set by the controller once its interface is loaded; not owned.
    ExportPluginProtocol *mPlugin = nullptr;

private:
    QPointer<ui::Box> mBox; // the kit may destroy its views first
};
