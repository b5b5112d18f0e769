#pragma once

// The controller on the real interface files, driven through the scripted kit.

#include "NubeloExportController.h"
#include "RecordingExportMgr.h"
#include "ScriptedKit.h"

#include <QtTest>

using scripted::RecordingExportMgr;

struct Panel {
    explicit Panel(const PluginConfig &config = {})
        : controller(&mgr, config) {
        const platform::MaybeError error = controller.loadInterface();
        loaded = !error;
        if (error)
            qWarning("%s", qPrintable(error->localizedDescription));
        kit.clearRecords();
    }

    template <class T> T *control(const char *name) const {
        T *found = kit.find<T>(QString::fromLatin1(name));
        if (found == nullptr)
            qWarning("no control %s", name);
        return found;
    }
    QString accountLine() const {
        return control<scripted::TextField>("mAccountInfo")->stringValue();
    }
    QString toggleTitle() const { return control<scripted::Button>("mAuthenticate")->title(); }
    scripted::Window *sheet() const { return control<scripted::Window>("mLoginDialog"); }
    scripted::TextField *errorLine() const {
        return control<scripted::TextField>("mLoginErrorMessage");
    }
    scripted::ProgressIndicator *progress() const {
        return control<scripted::ProgressIndicator>("mLoginProgress");
    }

    RecordingExportMgr mgr;
    scripted::ScriptedApplication kit; // outlives the controller, whose views it made
    NubeloExportController controller;
    bool loaded = false;
};
