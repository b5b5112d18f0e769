#include "NubeloExportPluginBox.h"

NubeloExportPluginBox::NubeloExportPluginBox(ui::Box *box)
    : mBox(box) {
    if (mBox != nullptr)
        mBox->setKeyEquivalentHandler(
            [this](const ui::KeyEvent &event) { return performKeyEquivalent(event); });
}

NubeloExportPluginBox::~NubeloExportPluginBox() {
    if (mBox != nullptr)
        mBox->setKeyEquivalentHandler({});
}

bool NubeloExportPluginBox::performKeyEquivalent(const ui::KeyEvent &event) {
    const QString &characters = event.charactersIgnoringModifiers;
    if (characters.isEmpty())
        return false;
    switch (characters.at(0).unicode()) {
    case 3:  // keypad Enter
    case 10: // line feed
    case 12: // form feed
    case 13: // Return
        if (mPlugin != nullptr)
            mPlugin->clickExport();
        return true;
    default:
        return false;
    }
}
