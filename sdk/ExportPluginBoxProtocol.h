#pragma once

#include "ui/KeyEvent.h"

// What the settings box answers to the host's key handling.
class ExportPluginBoxProtocol {
public:
    virtual ~ExportPluginBoxProtocol() = default;
    // True when the box handled the key; false lets the toolkit handle it as usual.
    virtual bool performKeyEquivalent(const ui::KeyEvent &event) = 0;
};
